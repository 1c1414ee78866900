// SPDX-License-Identifier: LGPL-2.1-or-later
/* The xfs superblock fields the module needs: the version and the position of the internal log. */
#ifndef QVCTL_FS_XFS_JOURNAL_H
#define QVCTL_FS_XFS_JOURNAL_H

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 with the superblock version (0 to 15) in *version, or the failure code with *version untouched:
 * a code such as EIO must never read as a version. */
int xfs_sb_version(const char *device, uint32_t *version, qvctl_status *st);
/* An internal log gives one extent in whole-disk sectors and *count = 1; an external log gives none
 * and leaves *count untouched. */
int xfs_log_extent(const char *device, uint64_t part_start, sector_extent *out, uint32_t *count,
                   qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
