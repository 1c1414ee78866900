/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Preloaded into qvsnap by run.sh: a plain block device serves as its own snapshot device, its
 * changelog is the scattered tenth of its blocks, in ascending runs. Nothing of the copy itself is
 * replaced. */
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "qvctl.h"
#include "tenth.h"

uint32_t qvctl_snapshot_get(const char *path, char *snap_path, qvctl_status *st)
{
    (void)st;
    snprintf(snap_path, 4096, "%s", path);
    return 0;
}

static uint64_t device_blocks(const char *path)
{
    uint64_t bytes = 0;
    int fd = open(path, O_RDONLY);
    if (fd >= 0) {
        ioctl(fd, BLKGETSIZE64, &bytes);
        close(fd);
    }
    return (bytes + 4095) / 4096;
}

uint32_t qvctl_changelog_count(const char *path, qvctl_status *st)
{
    (void)st;
    uint32_t n = 0;
    for (uint64_t k = 0, end = device_blocks(path); k < end; ++k)
        n += (uint32_t)tenth_picks(k);
    return n;
}

qvctl_changelog_stats *qvctl_changelog_iterate(const char *path, uint32_t total, qvctl_changelog_cb cb, void *ctx,
                                               qvctl_status *st)
{
    qvctl_changelog_stats *stats = calloc(1, sizeof *stats);
    qvctl_changelog_entry run = {0, 0};
    for (uint64_t k = 0, end = device_blocks(path); k <= end; ++k) {
        int picked = k < end && tenth_picks(k);
        if (picked && run.count && run.start + 8 * run.count == 8 * k) {
            run.count++;
            continue;
        }
        if (run.count && cb(&run, total, ctx, st) != 0)
            return NULL;
        run = (qvctl_changelog_entry){8 * k, picked ? 1u : 0u};
    }
    return stats;
}
