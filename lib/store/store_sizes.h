// SPDX-License-Identifier: LGPL-2.1-or-later
/* How large each store is for a device, and whether its files are in place. */
#ifndef QV_STORE_SIZES_H
#define QV_STORE_SIZES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STORE_CHANGELOG_UNIT 4096u
#define STORE_DATA_SHARE 0.15
#define STORE_METADATA_SIZE 4096u

int fs_free_bytes(const char *path, uint64_t *out, qvctl_status *st);
/* 0 when the filesystem mounted at `mount` has `size` bytes free, else ENOSPC with "<lead> space on
 * device ..." (the two stores word it differently). */
int store_room_check(const char *mount, uint64_t size, const char *device, const char *lead, qvctl_status *st);
uint64_t device_bytes_scaled(const char *device, double factor);
uint64_t changelog_store_size(const char *device);
int changelog_store_files_check(const char *device, const char *path, qvctl_status *st);
int data_store_size(const char *device, uint64_t *size, double percentage, qvctl_status *st);
int data_store_check(const char *device, uint64_t *size, double percentage, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
