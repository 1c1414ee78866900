// SPDX-License-Identifier: LGPL-2.1-or-later
#include <glob.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "fs/block_device.h"
#include "request_block.h"
#include "path_format.h"
#include "store/piece_name.h"
#include "store/store_register.h"

namespace sm = qv::req::store_map;

static_assert(sm::batch == STORE_MAP_BATCH_MAX);

namespace {

struct glob_result {
    glob_t g{};
    ~glob_result() { ::globfree(&g); }
};

// One map per piece, released together.
struct map_set {
    struct fiemap **maps = nullptr;
    std::size_t count = 0;
    ~map_set()
    {
        for (std::size_t i = 0; maps && i < count; ++i)
            std::free(maps[i]);
        std::free(maps);
    }
};

// How the refusal of a second registration names each store kind.
constexpr const char *already_mapped[] = {"changelog store", "datastore", "metadata"};

bool has_store_piece(const char *store, const glob_t &g)
{
    for (std::size_t i = 0; i < g.gl_pathc; ++i)
        if (qv::is_store_piece(store, g.gl_pathv[i]))
            return true;
    return false;
}

// Maps the store's own pieces among the glob's matches, in glob's order (plain byte order: data,
// data-1, data-10, data-2, ...).
int pieces_map(store_map_job *job, const glob_t &g, map_set &set, qvctl_status *st)
{
    set.maps = static_cast<struct fiemap **>(std::calloc(g.gl_pathc, sizeof *set.maps));
    if (!set.maps)
        return qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for fiemap");
    char store[sizeof job->path];
    std::memcpy(store, job->path, sizeof store);
    for (std::size_t i = 0; i < g.gl_pathc; ++i) {
        if (!qv::is_store_piece(store, g.gl_pathv[i]))
            continue;
        if (int r = qv::path_format(job->path, sizeof job->path, st, "%s", g.gl_pathv[i]))
            return r;
        struct fiemap *&map = set.maps[set.count++];
        map = file_map_get(job, st);
        if (!map)
            // A method may find nothing without saying why; the piece still can't be registered.
            return st->code ? static_cast<int>(st->code)
                            : qvctl_status_set(st, ENODATA, "ERROR: No extents found for %s", job->path);
        if (file_map_verify(map, job->path, st))
            return static_cast<int>(st->code);
    }
    return 0;
}

int batch_send(qv::request_block &block, uint32_t count, uint32_t flags, const char *device, qvctl_status *st)
{
    qv::store_le<uint32_t>(block.span(), sm::count, count);
    qv::store_le<uint32_t>(block.span(), sm::flags, flags);
    return static_cast<int>(qvctl_ioctl(QVCTL_REQ_STORE_MAP, block.get(), device, st));
}

// Whole-disk sectors of every extent, 246 to a request; the last request closes the store, even
// when it carries no extent.
int extents_send(const store_map_job &job, const map_set &set, qvctl_status *st)
{
    const uint64_t start = partition_start_sector(job.device);
    auto block = qv::request_new(sm::length, job.device);
    if (!block)
        return qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for map ioctl");
    qv::store_le<uint32_t>(block.span(), sm::kind, job.kind);
    qv::store_le<uint32_t>(block.span(), sm::param, job.param);
    uint32_t flags = job.flags | MAP_FLAG_FIRST, k = 0;
    for (std::size_t m = 0; m < set.count; ++m) {
        const struct fiemap *map = set.maps[m];
        for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const struct fiemap_extent &e = map->fm_extents[i];
            std::size_t at = sm::extents + std::size_t{k} * qv::req::extent_size;
            qv::store_le<uint64_t>(block.span(), at, (e.fe_physical >> 9) + start);
            qv::store_le<uint64_t>(block.span(), at + 8, e.fe_length >> 9);
            if (++k < STORE_MAP_BATCH_MAX)
                continue;
            if (int r = batch_send(block, k, flags, job.device, st); r != 0)
                return r;
            k = 0;
            flags = MAP_FLAG_NEXT;
        }
    }
    return batch_send(block, k, flags | MAP_FLAG_LAST, job.device, st);
}

}  // namespace

extern "C" int store_map_register(store_map_job *job, qvctl_status *st)
{
    qvctl_status own;
    qvctl_status *s = st ? st : &own;
    *s = qvctl_status{};
    if (int r = qvctl_path_check(job->device, s))
        return r;
    char pattern[sizeof job->path + 1];
    if (int r = qv::path_format(pattern, sizeof pattern, s, "%s*", job->path))
        return r;
    glob_result found;
    int g = ::glob(pattern, 0, nullptr, &found.g);
    // Only other files may begin with the store's name: that is no store either.
    if (g == 0 && !has_store_piece(job->path, found.g))
        g = GLOB_NOMATCH;
    if (g != 0)
        return qvctl_status_set(s, ENOENT, "ERROR: No store found on glob %s* (glob errcode: %d)", job->path, g);
    map_set set;
    if (int r = pieces_map(job, found.g, set, s); r != 0)
        return r;
    int r = extents_send(*job, set, s);
    if (r == EEXIST && job->kind < std::size(already_mapped))
        qvctl_status_set(s, EEXIST, "ERROR: %s is already mapped on device %s", already_mapped[job->kind], job->device);
    return r;
}
