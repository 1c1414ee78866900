// SPDX-License-Identifier: LGPL-2.1-or-later
/* The freeze rule around snapshot requests, shared by start, complete and cancel. */
#ifndef QVCTL_SNAPSHOT_FREEZE_H
#define QVCTL_SNAPSHOT_FREEZE_H

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sends `block` with `code`, freezing a btrfs or version-5 xfs filesystem around it and thawing it
 * afterwards whatever the answer; a failed freeze sends nothing and answers its code. */
int snapshot_request_frozen(uint32_t code, void *block, const char *path, qvctl_status *st);
/* 0 when the snapshot device shows a filesystem type (required for btrfs) and its node exists. */
int wait_device_node(const char *snap_path, uint32_t type, qvctl_status *st);
int wait_fs_type(const char *dev_path);

#ifdef __cplusplus
}
#endif

#endif
