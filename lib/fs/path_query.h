// SPDX-License-Identifier: LGPL-2.1-or-later
/* Queries through a path opened for them alone: one ioctl, and the statistics of the filesystem
 * that holds it. */
#ifndef QV_PATH_QUERY_H
#define QV_PATH_QUERY_H

#include <sys/vfs.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0, or the errno of the failing open or ioctl. */
int path_ioctl(const char *path, unsigned long request, void *arg);
/* 0 with `out` filled, or an errno code with `out` untouched. */
int fs_statfs(const char *path, struct statfs *out, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
