// SPDX-License-Identifier: LGPL-2.1-or-later
/* What an attach request tells the module about the filesystem: flags and metadata extents. */
#ifndef QVCTL_FS_ATTACH_META_H
#define QVCTL_FS_ATTACH_META_H

#include <stdbool.h>

#include "qvctl.h"
#include "fs/fs_type.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ATTACH_FLAG_BTRFS_RW 1u
#define ATTACH_FLAG_XFS_V5   2u

/* `st` must not be null; it is cleared on entry and holds the failure of an unreadable xfs superblock. */
unsigned int attach_flags_get(const char *device, fs_type type, qvctl_status *st);
/* Whether a snapshot of the device freezes its filesystem around the request: btrfs, and xfs of
 * version 5. */
bool fs_snapshot_frozen(const char *device, fs_type type, qvctl_status *st);
/* The number of metadata extents (0 or 1); `out` (room for one, may be null) receives it. */
uint32_t fs_meta_extents_get(const char *device, fs_type type, sector_extent *out);

#ifdef __cplusplus
}
#endif

#endif
