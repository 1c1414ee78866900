// SPDX-License-Identifier: LGPL-2.1-or-later
/* One ioctl on a path: opened read-only, issued, closed. */
#ifndef QV_PATH_IOCTL_H
#define QV_PATH_IOCTL_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0, or the errno of the failing open or ioctl. */
int path_ioctl(const char *path, unsigned long request, void *arg);

#ifdef __cplusplus
}
#endif

#endif
