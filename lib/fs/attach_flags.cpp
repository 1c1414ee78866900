// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/attach_meta.h"
#include "fs/mount_table.h"
#include "fs/fs_type.h"
#include "fs/xfs_journal.h"

extern "C" unsigned int attach_flags_get(const char *device, fs_type type, qvctl_status *st)
{
    qvctl_status_set(st, 0, "%s", "");
    if (type == FS_TYPE_BTRFS)
        return mount_is_rw(device) == 1 ? ATTACH_FLAG_BTRFS_RW : 0u;
    if (type != FS_TYPE_XFS)
        return 0;
    uint32_t version = 0;
    if (xfs_sb_version(device, &version, st) != 0)
        return 0;
    return version == 5 ? ATTACH_FLAG_XFS_V5 : 0u;
}
