// SPDX-License-Identifier: LGPL-2.1-or-later
/* Filesystem statistics of the filesystem holding a path. */
#ifndef QV_FS_STATFS_H
#define QV_FS_STATFS_H

#include <sys/vfs.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 with `out` filled, or an errno code with `out` untouched. */
int fs_statfs(const char *path, struct statfs *out, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
