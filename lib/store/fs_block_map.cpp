// SPDX-License-Identifier: LGPL-2.1-or-later
// A file's extents in filesystem blocks, for callers that work in the filesystem's own units.
#include <sys/vfs.h>

#include <cerrno>
#include <cstdlib>

#include "fs/path_query.h"
#include "store/extent_map.h"
#include "store/extent_map_block.h"
#include "path_format.h"

extern "C" fs_block_map *qvctl_fs_block_map_get(const char *device, const char *path, qvctl_status *st)
{
    store_map_job job{};
    job.device = device;
    job.method = MAP_METHOD_AUTO;
    if (qv::path_format(job.path, sizeof job.path, st, "%s", path))
        return nullptr;
    qv::fiemap_ptr map(file_map_get(&job, st));
    if (!map)
        return nullptr;
    struct statfs sfs;
    if (fs_statfs(path, &sfs, st))
        return nullptr;
    const uint64_t block = sfs.f_bsize > 0 ? static_cast<uint64_t>(sfs.f_bsize) : 1;
    const uint32_t n = map->fm_mapped_extents;
    auto *out = static_cast<fs_block_map *>(std::calloc(1, sizeof(fs_block_map) + n * sizeof(fs_block_extent)));
    if (!out) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate aafmap");
        return nullptr;
    }
    out->count = n;
    for (uint32_t i = 0; i < n; ++i)
        out->extents[i] = {map->fm_extents[i].fe_physical / block, map->fm_extents[i].fe_length / block};
    return out;
}

extern "C" void qvctl_fs_block_map_free(fs_block_map *map) { std::free(map); }
