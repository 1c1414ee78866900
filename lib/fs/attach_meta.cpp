// SPDX-License-Identifier: LGPL-2.1-or-later
// What an attach request tells the module about the filesystem, and whether snapshots freeze it.
#include "fs/attach_meta.h"
#include "fs/block_device.h"
#include "fs/fs_type.h"
#include "fs/mount_table.h"
#include "fs/xfs_journal.h"

namespace {

// Version 5 is the xfs whose attach says so and whose snapshots are frozen; an unreadable
// superblock leaves its failure in the record and counts as neither.
bool xfs_v5(const char *device, fs_type type, qvctl_status *st)
{
    uint32_t version = 0;
    return type == FS_TYPE_XFS && xfs_sb_version(device, &version, st) == 0 && version == 5;
}

}  // namespace

extern "C" unsigned int attach_flags_get(const char *device, fs_type type, qvctl_status *st)
{
    qvctl_status_set(st, 0, "%s", "");
    if (type == FS_TYPE_BTRFS)
        return mount_is_rw(device) == 1 ? ATTACH_FLAG_BTRFS_RW : 0u;
    return xfs_v5(device, type, st) ? ATTACH_FLAG_XFS_V5 : 0u;
}

extern "C" bool fs_snapshot_frozen(const char *device, fs_type type, qvctl_status *st)
{
    return type == FS_TYPE_BTRFS || xfs_v5(device, type, st);
}

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
