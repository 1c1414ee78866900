// SPDX-License-Identifier: LGPL-2.1-or-later
/* Where the store files live: the store folder on the protected filesystem and the stores' names. */
#ifndef QV_STORE_PATH_H
#define QV_STORE_PATH_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STORE_DIR_NAME ".quorvex"
#define STORE_NAME_CHANGELOG "changelog"
#define STORE_NAME_DATA "data"
#define STORE_NAME_METADATA "metadata"
#define STORE_PATH_SIZE 4096u

/* A null mount buffer or a mount size of 0 means a private one. */
int store_path_get(const char *device, const char *name, char *out, size_t out_size, char *mount,
                   size_t mount_size, qvctl_status *st);
int store_dir_ensure(const char *device, const char *dir, qvctl_status *st);
int dir_nocow_set(const char *path, qvctl_status *st);
bool device_is_btrfs(const char *device);

#ifdef __cplusplus
}
#endif

#endif
