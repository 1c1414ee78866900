// SPDX-License-Identifier: LGPL-2.1-or-later
/* The store files on the protected filesystem: where they live, their sizes, their pieces and how
 * each piece is created, allocated and checked. */
#ifndef QV_STORE_FILES_H
#define QV_STORE_FILES_H

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
#define STORE_PROBE_RESOLUTION 4096u
#define STORE_CHANGELOG_UNIT 4096u
#define STORE_DATA_SHARE 0.15
#define STORE_METADATA_SIZE 4096u

enum store_files_mode {
    STORE_FILES_CREATE = 0,
    STORE_FILES_CREATE_ZEROED = 1,
    STORE_FILES_CHECK = 2,
};

/* A null mount buffer or a mount size of 0 means a private one. */
int store_path_get(const char *device, const char *name, char *out, size_t out_size, char *mount,
                   size_t mount_size, qvctl_status *st);
int store_dir_ensure(const char *device, const char *dir, qvctl_status *st);
int dir_nocow_set(const char *path, qvctl_status *st);
bool device_is_btrfs(const char *device);

/* The largest size up to `wanted` that a file next to `base` accepts, to within 4096 bytes; 0 when
 * no temporary file could be made there. */
uint64_t file_size_limit_probe(const char *base, uint64_t wanted);

/* The block size (f_bsize) of the filesystem that holds `path`'s directory; 1 when it can't be told. */
uint64_t store_block_size(const char *path);
/* `size` rounded up to a whole number of those blocks: the size a piece at `path` is laid down with. */
uint64_t store_piece_size(const char *path, uint64_t size);

bool file_allocation_verify(int fd, uint64_t size, qvctl_status *st);
int file_allocate(int fd, uint64_t size, bool force, qvctl_status *st);
int file_check(const char *path, uint64_t size, qvctl_status *st);
/* -1 (nothing recorded) when only the final fsync failed. */
int file_create(const char *path, uint64_t size, bool force, qvctl_status *st);

int store_files_process(const char *path, uint64_t total, uint32_t mode, qvctl_status *st);
int store_files_create(const char *path, uint64_t total, qvctl_status *st);
int store_files_create_zeroed(const char *path, uint64_t total, qvctl_status *st);
int store_files_check(const char *path, uint64_t total, qvctl_status *st);

int fs_free_bytes(const char *path, uint64_t *out, qvctl_status *st);
uint64_t device_bytes_scaled(const char *device, double factor);
uint64_t changelog_store_size(const char *device);
int changelog_store_files_check(const char *device, const char *path, qvctl_status *st);
int data_store_size(const char *device, uint64_t *size, double percentage, qvctl_status *st);
int data_store_check(const char *device, uint64_t *size, double percentage, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
