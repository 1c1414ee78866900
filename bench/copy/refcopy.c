/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The least a block copy of qvsnap's pattern can do, as its yardstick: N threads over contiguous
 * ranges of 4 KiB blocks, one pread and one pwrite per block at the block's own offset, then one
 * fdatasync, so that the copy ends with its output on the disk.
 *
 *   refcopy SRC DST THREADS [--fill[=none|sync|drop]] [--tenth]
 *
 * --fill       first truncates DST and writes zeros to SRC's size in 350 MiB writes (a base reset);
 *              =sync then writes them back, =drop writes them back and drops their pages
 * --tenth      copies only the blocks picked by the scattered tenth (the incremental case)
 * Prints "fill SECONDS copy SECONDS sync SECONDS blocks N". */
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tenth.h"

struct range {
    int in, out;
    uint64_t first, end;
    int tenth;
    uint64_t blocks;
};

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void *copy_range(void *arg)
{
    struct range *r = arg;
    char *buf = aligned_alloc(4096, 4096);
    if (!buf)
        return NULL;
    for (uint64_t k = r->first; k < r->end; ++k) {
        if (r->tenth && !tenth_picks(k))
            continue;
        ssize_t n = pread(r->in, buf, 4096, (off_t)(k * 4096));
        if (n <= 0 || pwrite(r->out, buf, (size_t)n, (off_t)(k * 4096)) != n) {
            perror("refcopy: block");
            exit(1);
        }
        r->blocks++;
    }
    free(buf);
    return NULL;
}

static uint64_t size_of(int fd)
{
    uint64_t bytes = 0;
    struct stat sb;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
        return bytes;
    return fstat(fd, &sb) == 0 ? (uint64_t)sb.st_size : 0;
}

static void fill(int fd, uint64_t bytes)
{
    const size_t chunk = 367001600u;  /* the zero-fill writer's chunk */
    char *zeros = calloc(1, chunk);
    if (!zeros) {
        perror("refcopy: zeros");
        exit(1);
    }
    for (uint64_t done = 0; done < bytes;) {
        size_t part = bytes - done < chunk ? (size_t)(bytes - done) : chunk;
        ssize_t n = pwrite(fd, zeros, part, (off_t)done);
        if (n <= 0) {
            perror("refcopy: fill");
            exit(1);
        }
        done += (uint64_t)n;
    }
    free(zeros);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: refcopy SRC DST THREADS [--fill[=none|sync|drop]] [--tenth]\n");
        return 2;
    }
    int threads = atoi(argv[3]);
    int do_fill = 0, do_sync = 0, do_drop = 0, tenth = 0;
    for (int i = 4; i < argc; ++i) {
        do_fill |= strncmp(argv[i], "--fill", 6) == 0;
        do_sync |= strcmp(argv[i], "--fill=sync") == 0 || strcmp(argv[i], "--fill=drop") == 0;
        do_drop |= strcmp(argv[i], "--fill=drop") == 0;
        tenth |= strcmp(argv[i], "--tenth") == 0;
    }
    int in = open(argv[1], O_RDONLY);
    int out = open(argv[2], O_RDWR | O_CREAT | (do_fill ? O_TRUNC : 0), 0644);
    if (in < 0 || out < 0 || threads < 1 || threads > 64) {
        perror("refcopy: open");
        return 1;
    }
    uint64_t bytes = size_of(in), blocks = (bytes + 4095) / 4096;

    double t0 = now();
    if (do_fill)
        fill(out, bytes);
    if (do_sync && fdatasync(out) == 0 && do_drop)
        posix_fadvise(out, 0, 0, POSIX_FADV_DONTNEED);
    double t1 = now();

    pthread_t tid[64];
    struct range r[64];
    uint64_t per = (blocks + (uint64_t)threads - 1) / (uint64_t)threads;
    for (int i = 0; i < threads; ++i) {
        uint64_t first = (uint64_t)i * per, end = first + per > blocks ? blocks : first + per;
        r[i] = (struct range){in, out, first < blocks ? first : blocks, end, tenth, 0};
        pthread_create(&tid[i], NULL, copy_range, &r[i]);
    }
    uint64_t copied = 0;
    for (int i = 0; i < threads; ++i) {
        pthread_join(tid[i], NULL);
        copied += r[i].blocks;
    }
    double t2 = now();
    if (fdatasync(out) != 0) {
        perror("refcopy: fdatasync");
        return 1;
    }
    double t3 = now();
    printf("fill %.3f copy %.3f sync %.3f blocks %llu\n", t1 - t0, t2 - t1, t3 - t2, (unsigned long long)copied);
    close(out);
    close(in);
    return 0;
}
