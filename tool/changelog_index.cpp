// SPDX-License-Identifier: GPL-2.0-or-later
// The blocks to copy: all of the device in a base run, the changelog's blocks in an incremental run.
#include <syslog.h>

#include <cerrno>
#include <cstdlib>

#include "qvctl_internal.h"
#include "snap_engine.h"

namespace {

using ull = unsigned long long;

// Next free entry of the index while it is filled.
uint64_t collect_pos = 0;

uint64_t incremental_count(snap_options &o)
{
    uint32_t n = qvctl_changelog_count(o.blkdev, &o.status);
    if (o.status.code)
        return 0;
    if (n == 0)
        return 0;  // nothing changed: no index, no request for entries
    uint64_t bytes = uint64_t{n} * sizeof(uint64_t);
    o.changelog = static_cast<uint64_t *>(std::malloc(bytes));
    if (!o.changelog) {
        qvctl_status_set(&o.status, errno, "could not allocate %llu bytes to store changelog", static_cast<ull>(bytes));
        return 0;
    }
    snap_changelog_collect_begin();
    qvctl_changelog_stats *stats = qvctl_changelog_iterate(o.blkdev, n, snap_changelog_collect, o.changelog, &o.status);
    if (!stats) {
        std::free(o.changelog);
        o.changelog = nullptr;
        // The module counted blocks, then listed none: an image patched with nothing would pass for
        // a complete one.
        if (!o.status.code)
            qvctl_status_set(&o.status, EIO, "ERROR: changelog of %s counted %u blocks but listed none", o.blkdev, n);
        return 0;
    }
    std::free(stats);
    if (collect_pos < n)
        qvctl_log(LOG_WARNING, stderr, "WARNING: changelog of %s listed %llu of the %u blocks it counted", o.blkdev,
                  static_cast<ull>(collect_pos), n);
    // Only the entries that were filled are copied.
    return collect_pos;
}

}  // namespace

extern "C" void snap_changelog_collect_begin(void) { collect_pos = 0; }

extern "C" int snap_changelog_collect(const qvctl_changelog_entry *entry, uint32_t count, void *index,
                                      qvctl_status *status)
{
    auto *blocks = static_cast<uint64_t *>(index);
    // `count` is what the index was sized for; more blocks than that fail the run rather than be
    // dropped, since an image missing changed blocks would pass for a complete one.
    if (entry->count > count - collect_pos)
        return qvctl_status_set(status, EOVERFLOW, "ERROR: changelog lists more blocks than the %u it counted", count);
    for (uint64_t j = 0; j < entry->count; ++j)
        blocks[collect_pos++] = entry->start + SNAP_BLOCK_SECTORS * j;
    return 0;
}

extern "C" uint64_t snap_blocks_count(snap_options *opts)
{
    if (opts->flags & SNAP_INCREMENTAL)
        return incremental_count(*opts);
    uint64_t sectors = device_size_sectors(opts->blkdev, &opts->status);
    return sectors / SNAP_BLOCK_SECTORS + (sectors % SNAP_BLOCK_SECTORS != 0);
}
