/* The extent-mapping interface that registration calls, until the mapping operations are built. */
#ifndef QV_STORE_MAP_PENDING_H
#define QV_STORE_MAP_PENDING_H

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
} store_map_job;

struct fiemap *file_map_get(store_map_job *job, qvctl_status *st);
bool file_map_verify(const struct fiemap *map, const char *path, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
