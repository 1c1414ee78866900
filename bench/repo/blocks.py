#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Lays down and counts the data that bench/repo/run.sh backs up, on a block device or a file.

  blocks.py quarter DEV   1 MiB of data at the start of every 4 MiB
  blocks.py full DEV      data in every block
  blocks.py tenth DEV GEN [RUN]
                          new data in every tenth block (5, 15, 25, ...), sorted, one write each;
                          with RUN, in every tenth run of RUN blocks
  blocks.py count DEV     prints the number of 4 KiB blocks that are not all zeros

Block 0 keeps what mkfs put there: the filesystem's superblock, and with it the UUID that an
incremental compares with its base's. Every block written starts with its number and a generation,
so that no two blocks (and no two generations of one block) are alike; the rest comes from a random
pool, which is what makes the data random-ish without paying for 4 GiB of urandom.
"""
import os
import struct
import sys

BLOCK = 4096
CHUNK = 1 << 20
POOL = os.urandom(16 << 20)


def stamped(first, count, gen):
    """count blocks of data for blocks first..first+count-1."""
    off = (first * BLOCK) % (len(POOL) - count * BLOCK)
    buf = bytearray(POOL[off:off + count * BLOCK])
    for i in range(count):
        struct.pack_into("<QQ", buf, i * BLOCK, first + i, gen | 1 << 63)
    return buf


def size_of(fd):
    return os.lseek(fd, 0, os.SEEK_END)


def write_runs(path, runs, gen=0):
    """Writes data over (first block, count) runs, skipping block 0, then makes it durable."""
    fd = os.open(path, os.O_WRONLY)
    try:
        for first, count in runs:
            if first == 0:
                first, count = 1, count - 1
            while count > 0:
                n = min(count, CHUNK // BLOCK)
                os.pwrite(fd, stamped(first, n, gen), first * BLOCK)
                first += n
                count -= n
        os.fsync(fd)
    finally:
        os.close(fd)


def blocks_of(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        return size_of(fd) // BLOCK
    finally:
        os.close(fd)


def tenth(path, gen, run=1):
    """Every tenth block, or every tenth run of `run` blocks, each written with one call."""
    fd = os.open(path, os.O_WRONLY)
    try:
        total = size_of(fd) // BLOCK
        if run == 1:
            pool = memoryview(POOL)
            head = bytearray(16)
            for b in range(5, total, 10):
                struct.pack_into("<QQ", head, 0, b, gen | 1 << 63)
                off = (b * 7919 * 16) % (len(POOL) - BLOCK)
                os.pwritev(fd, [head, pool[off + 16:off + BLOCK]], b * BLOCK)
        else:
            for b in range(5 * run, total - run + 1, 10 * run):
                os.pwrite(fd, stamped(b, run, gen), b * BLOCK)
        os.fsync(fd)
    finally:
        os.close(fd)


def count(path):
    zero = bytes(CHUNK)
    zblock = zero[:BLOCK]
    used = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                break
            if chunk == zero[:len(chunk)]:
                continue
            mv = memoryview(chunk)
            for i in range(0, len(chunk), BLOCK):
                if mv[i:i + BLOCK] != zblock:
                    used += 1
    return used


def main(argv):
    if len(argv) >= 3 and argv[1] in ("quarter", "full"):
        total = blocks_of(argv[2])
        per = 4 * CHUNK // BLOCK
        if argv[1] == "quarter":
            runs = [(b, min(per // 4, total - b)) for b in range(0, total, per)]
        else:
            runs = [(0, total)]
        write_runs(argv[2], runs)
    elif len(argv) in (4, 5) and argv[1] == "tenth":
        tenth(argv[2], int(argv[3]), int(argv[4]) if len(argv) == 5 else 1)
    elif len(argv) == 3 and argv[1] == "count":
        print(count(argv[2]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
