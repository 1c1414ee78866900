// SPDX-License-Identifier: LGPL-2.1-or-later
/* The pieces of a store: how large a file the filesystem takes, and how each piece is created,
 * allocated and checked. */
#ifndef QV_STORE_PIECES_H
#define QV_STORE_PIECES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STORE_PROBE_RESOLUTION 4096u

enum store_files_mode {
    STORE_FILES_CREATE = 0,
    STORE_FILES_CREATE_ZEROED = 1,
    STORE_FILES_CHECK = 2,
};

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

/* A store of `total` bytes as pieces at `path`, `path`-1, ...: each as large as the filesystem
 * takes, created, created zeroed, or checked. */
int store_files_process(const char *path, uint64_t total, uint32_t mode, qvctl_status *st);
int store_files_create(const char *path, uint64_t total, qvctl_status *st);
int store_files_create_zeroed(const char *path, uint64_t total, qvctl_status *st);
int store_files_check(const char *path, uint64_t total, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
