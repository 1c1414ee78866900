// SPDX-License-Identifier: LGPL-2.1-or-later
// Choosing the mapping method (the automatic one from the cheapest to the dearest), the btrfs
// translation of filesystem maps, and the check that a map covers its file.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <array>
#include <cerrno>

#include "btrfs/btrfs.h"
#include "fs/fs_type.h"
#include "store/extent_map.h"
#include "store/extent_map_block.h"

namespace {

struct method {
    struct fiemap *(*map)(const store_map_job &, qvctl_status *);
    bool filesystem_addresses;  // FIEMAP and FIBMAP answer btrfs logical addresses
};

constexpr method by_fiemap{[](const store_map_job &j, qvctl_status *st) {
                               return (j.fiemap ? j.fiemap : file_map_fiemap)(j.path, st);
                           },
                           true};
constexpr method by_fibmap{[](const store_map_job &j, qvctl_status *st) { return file_map_fibmap(j.path, st); },
                           true};
constexpr method by_marking{[](const store_map_job &j, qvctl_status *st) {
                                return file_map_kernel(j.device, j.path, static_cast<uint32_t>(j.mark_chunk), st);
                            },
                            false};

// The methods tried, in order, per MAP_METHOD_*: the automatic one from the cheapest to the dearest.
constexpr std::array<std::array<const method *, 3>, 4> method_orders{{
    {&by_fiemap, &by_fibmap, &by_marking},
    {&by_fiemap},
    {&by_fibmap},
    {&by_marking},
}};

}  // namespace

extern "C" struct fiemap *file_map_get(store_map_job *job, qvctl_status *st)
{
    if (job->method >= method_orders.size()) {
        qvctl_status_set(st, EINVAL, "ERROR: misusage of %s", __func__);
        return nullptr;
    }
    for (const method *m : method_orders[job->method]) {
        if (!m)
            break;
        if (m != method_orders[job->method][0] && st)
            *st = qvctl_status{};  // each fallback starts with a clear record
        qv::fiemap_ptr map(m->map(*job, st));
        if (!map)
            continue;
        if (!m->filesystem_addresses || fs_type_detect(job->device) != FS_TYPE_BTRFS)
            return map.release();
        struct fiemap *translated = nullptr;
        return btrfs_map_translate(job->device, map.get(), &translated, st) ? nullptr : translated;
    }
    return nullptr;
}

extern "C" bool file_map_verify(const struct fiemap *map, const char *path, qvctl_status *st)
{
    struct stat sb;
    if (::stat(path, &sb) < 0)
        return qvctl_status_set(st, errno, "ERROR: Failed to get size of %s", path), true;
    struct statvfs vfs;
    if (::statvfs(path, &vfs) < 0 || vfs.f_bsize == 0)
        return qvctl_status_set(st, errno ? errno : EINVAL, "ERROR: Failed to get FS block size of %s", path), true;
    const uint64_t expected = (static_cast<uint64_t>(sb.st_size) + vfs.f_bsize - 1) / vfs.f_bsize * vfs.f_bsize;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i)
        sum += map->fm_extents[i].fe_length;
    if (sum == expected)
        return false;
    qvctl_status_set(st, EINVAL, "ERROR: %s: fiemap size and file size are mismatched (%llu vs %llu)", path,
                     static_cast<unsigned long long>(sum), static_cast<unsigned long long>(expected));
    return true;
}
