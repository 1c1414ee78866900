// SPDX-License-Identifier: LGPL-2.1-or-later
/* Extent maps of the store files: FIEMAP, FIBMAP, or marking the file for the module to locate, and
 * the check that a map covers its file. A map is a `struct fiemap` heap block released with free. */
#ifndef QV_EXTENT_MAP_H
#define QV_EXTENT_MAP_H

#include <linux/fiemap.h>
#include <stdbool.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct store_map_job {
    uint32_t kind;
    const char *device;
    char path[4096];
    uint32_t param;
    uint32_t flags;
    uint32_t method;
    uint64_t mark_chunk;
    /* The FIEMAP step of the methods; null for file_map_fiemap. A test puts in maps of its own, or
     * the refusal of a filesystem without FIEMAP. */
    struct fiemap *(*fiemap)(const char *path, qvctl_status *st);
} store_map_job;

typedef struct fibmap_run {
    uint64_t logical;
    uint64_t first;
    uint64_t last;
    uint64_t count;
} fibmap_run;

/* Stored in native order at the start of every 512-byte block of the mark buffer. */
#define FILE_MARK_PATTERN 0xd6dc531a1a93dc11ull
#define FILE_MARK_BLOCK 512u

struct fiemap *file_map_get(store_map_job *job, qvctl_status *st);
struct fiemap *file_map_fiemap(const char *path, qvctl_status *st);
struct fiemap *file_map_fibmap(const char *path, qvctl_status *st);
/* On failure the caller still owns *map and releases it. */
int fibmap_run_append(struct fiemap **map, uint32_t block_size, const fibmap_run *run, qvctl_status *st);
struct fiemap *file_map_kernel(const char *device, const char *path, uint32_t chunk, qvctl_status *st);
/* The module's whole-disk extents of the marked file; *out is the caller's to free. */
int kernel_extents_get(const char *device, const char *path, uint32_t chunk, sector_extent **out,
                            qvctl_status *st);
int file_mark(const char *path, uint32_t chunk, qvctl_status *st);
/* False when the map covers the file; true with the failure recorded. */
bool file_map_verify(const struct fiemap *map, const char *path, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
