// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/attach_meta.h"
#include "fs/block_device.h"
#include "fs/fs_type.h"
#include "fs/xfs_journal.h"

namespace {

// Relative to the filesystem's start: the btrfs superblock at 64 KiB, else the first 4 KiB.
sector_extent fixed_extent(fs_type type) noexcept
{
    return type == FS_TYPE_BTRFS ? sector_extent{128, 8} : sector_extent{0, 8};
}

}  // namespace

extern "C" uint32_t fs_meta_extents_get(const char *device, fs_type type, sector_extent *out)
{
    uint64_t p = partition_start_sector(device);
    sector_extent e{};
    if (type == FS_TYPE_XFS) {
        uint32_t count = 0;
        if (xfs_log_extent(device, p, &e, &count, nullptr) != 0) {
            count = 1;
            e = {p, 16};  // the first 8 KiB of a filesystem whose superblock can't be read
        }
        if (count && out)
            *out = e;
        return count;
    }
    e = fixed_extent(type);
    if (out)
        *out = {e.start + p, e.count};
    return 1;
}
