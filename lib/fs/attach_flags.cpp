// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/attach_meta.h"
#include "fs/mount_table.h"
#include "fs/fs_type.h"
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
