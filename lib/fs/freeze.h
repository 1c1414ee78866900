// SPDX-License-Identifier: LGPL-2.1-or-later
/* Freezing and thawing the filesystem mounted from a device. */
#ifndef QVCTL_FS_FREEZE_H
#define QVCTL_FS_FREEZE_H

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the freeze worker works on: the open mount-point directory, the device path for messages and
 * the record it reports into. */
typedef struct freeze_job {
    int fd;
    const char *device;
    qvctl_status *status;
} freeze_job;

/* 0 when the filesystem is frozen (it stays frozen until fs_thaw) or the device is not mounted. */
int fs_freeze(const char *device, qvctl_status *st);
int fs_thaw(const char *device, qvctl_status *st);
/* Thread entry: `job` is a freeze_job*. */
void *freeze_worker(void *job);

#ifdef __cplusplus
}
#endif

#endif
