// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cstring>

#include "path_format.h"
#include "store/store_path.h"
#include "store/store_pieces.h"
#include "store/store_sizes.h"
#include "store/store_register.h"

namespace {

constexpr uint32_t data_store_param = 2048;

int store_register(uint32_t kind, const char *device, const char *path, uint32_t param, uint32_t flags,
                   uint32_t method, uint64_t chunk, qvctl_status *st)
{
    store_map_job job{};
    job.kind = kind;
    job.device = device;
    if (int r = qv::path_format(job.path, sizeof job.path, st, "%s", path))
        return r;
    job.param = param;
    job.flags = flags;
    job.method = method;
    job.mark_chunk = chunk;
    return store_map_register(&job, st);
}

}  // namespace

extern "C" int qvctl_changelog_store_register_ex(const char *device, uint32_t method, uint64_t chunk,
                                                 qvctl_status *st)
{
    char path[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_CHANGELOG, path, sizeof path, nullptr, 0, st); r != 0)
        return r;
    // The module writes into every byte of the changelog store, so all of it must be in place.
    if (int r = changelog_store_files_check(device, path, st); r != 0)
        return r;
    return store_register(STORE_CHANGELOG, device, path, 0, 0, method, chunk, st);
}

extern "C" int qvctl_changelog_store_register(const char *device, qvctl_status *st)
{
    return qvctl_changelog_store_register_ex(device, MAP_METHOD_AUTO, 0, st);
}

extern "C" int qvctl_data_store_register_ex(const char *device, uint32_t method, uint64_t chunk, qvctl_status *st)
{
    char path[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_DATA, path, sizeof path, nullptr, 0, st); r != 0)
        return r;
    return store_register(STORE_DATA, device, path, data_store_param, 0, method, chunk, st);
}

extern "C" int qvctl_data_store_register(const char *device, qvctl_status *st)
{
    return qvctl_data_store_register_ex(device, MAP_METHOD_AUTO, 0, st);
}

// A metadata store that is missing or damaged is simply made again: it holds nothing yet.
extern "C" int qvctl_metadata_store_register_ex(const char *device, uint32_t method, uint64_t chunk, uint32_t flags,
                                                qvctl_status *st)
{
    char path[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_METADATA, path, sizeof path, nullptr, 0, st); r != 0)
        return r;
    const uint64_t size = store_piece_size(path, STORE_METADATA_SIZE);
    if (file_check(path, size, st) != 0)
        if (int r = file_create(path, size, true, st); r != 0)
            return r;
    return store_register(STORE_METADATA, device, path, 0, flags, method, chunk, st);
}

extern "C" int qvctl_metadata_store_register(const char *device, qvctl_status *st)
{
    return qvctl_metadata_store_register_ex(device, MAP_METHOD_AUTO, STORE_METADATA_SIZE, 0, st);
}

extern "C" int qvctl_metadata_store_register_opt(const char *device, qvctl_status *st)
{
    return qvctl_metadata_store_register_ex(device, MAP_METHOD_AUTO, STORE_METADATA_SIZE, MAP_FLAG_METADATA_OPT, st);
}
