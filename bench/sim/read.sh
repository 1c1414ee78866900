#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Sequential read of a 256 MiB snapshot device through the stand-in, in 4 KiB blocks: buffered
# (as the image tool reads) and direct (every block a round trip to the daemon). Three runs each;
# prints MB/s per run and the median. Root; take the machine's test lock around it.
#   bench/sim/read.sh [BUILD_DIR]
set -eu
build=$(cd "${1:-build}" && pwd)
qvsim="$build/sim/qvsim"
setup="$build/bench/sim/qvsim_bench_snapshot"
bytes=$((256 << 20))

"$qvsim" start >/dev/null
dev=
snap=
finish() {
    [ -n "$snap" ] && "$qvsim" run -- "$setup" "$dev" complete >/dev/null 2>&1 || true
    "$qvsim" stop >/dev/null
}
trap finish EXIT INT TERM

dev=$("$qvsim" disk create 256M)
# Data, not holes, behind every block of the snapshot.
dd if=/dev/urandom of="$dev" bs=1M count=256 conv=fsync status=none
snap=$("$qvsim" run -- "$setup" "$dev")

# One run: MB/s (10^6 bytes per second) of reading the whole device with dd's extra flags $1.
one_run() {
    blockdev --flushbufs "$snap"
    t0=$(date +%s.%N)
    dd if="$snap" of=/dev/null bs=4096 $1 status=none
    t1=$(date +%s.%N)
    echo "$t0 $t1" | awk -v b="$bytes" '{ printf "%.1f\n", b / ($2 - $1) / 1e6 }'
}

for mode in buffered direct; do
    flags=
    [ "$mode" = direct ] && flags=iflag=direct
    runs=$(for i in 1 2 3; do one_run "$flags"; done)
    median=$(echo "$runs" | sort -n | sed -n 2p)
    echo "$mode 4 KiB reads of a 256 MiB snapshot: $(echo $runs | sed 's/ / MB\/s, /g') MB/s; median $median MB/s"
done
