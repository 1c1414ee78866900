#include <glob.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "fs/block_device.h"
#include "request_block.h"
#include "store/path_format.h"
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

// The store's own pieces among the glob's matches, in glob's order (plain byte order: data, data-1,
// data-10, data-2, ...).
std::vector<const char *> own_pieces(const char *store, const glob_t &g)
{
    std::vector<const char *> pieces;
    for (std::size_t i = 0; i < g.gl_pathc; ++i)
        if (qv::is_store_piece(store, g.gl_pathv[i]))
            pieces.push_back(g.gl_pathv[i]);
    return pieces;
}

int pieces_map(store_map_job *job, const std::vector<const char *> &pieces, map_set &set, qvctl_status *st)
{
    set.maps = static_cast<struct fiemap **>(std::calloc(pieces.size(), sizeof *set.maps));
    if (!set.maps)
        return qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for fiemap");
    set.count = pieces.size();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        qv::path_format(job->path, sizeof job->path, "%s", pieces[i]);
        set.maps[i] = file_map_get(job, st);
        if (!set.maps[i])
            // A method may find nothing without saying why; the piece still can't be registered.
            return st->code ? static_cast<int>(st->code)
                            : qvctl_status_set(st, ENODATA, "ERROR: No extents found for %s", job->path);
        if (file_map_verify(set.maps[i], job->path, st))
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
    if (uint32_t r = qvctl_path_check(job->device, s); r != 0)
        return static_cast<int>(r);
    char pattern[sizeof job->path + 1];
    qv::path_format(pattern, sizeof pattern, "%s*", job->path);
    glob_result found;
    int g = ::glob(pattern, 0, nullptr, &found.g);
    // Copied before the job's path becomes each piece's in turn.
    const std::string store(job->path);
    std::vector<const char *> pieces = g == 0 ? own_pieces(store.c_str(), found.g) : std::vector<const char *>{};
    if (g == 0 && pieces.empty())
        g = GLOB_NOMATCH;  // only other files begin with the store's name
    if (g != 0)
        return qvctl_status_set(s, ENOENT, "ERROR: No store found on glob %s* (glob errcode: %d)", job->path, g);
    map_set set;
    if (int r = pieces_map(job, pieces, set, s); r != 0)
        return r;
    int r = extents_send(*job, set, s);
    if (r == EEXIST && job->kind < std::size(already_mapped))
        qvctl_status_set(s, EEXIST, "ERROR: %s is already mapped on device %s", already_mapped[job->kind], job->device);
    return r;
}
