// SPDX-License-Identifier: LGPL-2.1-or-later
// The FIBMAP method: the disk block of every filesystem block of a file, gathered into runs.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

#include "store/extent_map.h"
#include "store/extent_map_block.h"
#include "unique_fd.h"

extern "C" int fibmap_run_append(struct fiemap **map, uint32_t block_size, const fibmap_run *run, qvctl_status *st)
{
    const uint32_t n = (*map)->fm_mapped_extents + 1;
    void *grown = std::realloc(*map, qv::fiemap_bytes(n));
    if (!grown)
        return qvctl_status_set(st, errno, "%s: realloc failed", __func__);
    *map = static_cast<struct fiemap *>(grown);
    (*map)->fm_mapped_extents = n;
    struct fiemap_extent &e = (*map)->fm_extents[n - 1];
    e = {};
    e.fe_logical = run->logical;
    e.fe_physical = run->first * block_size;
    e.fe_length = run->count * block_size;
    return 0;
}

extern "C" struct fiemap *file_map_fibmap(const char *path, qvctl_status *st)
{
    qv::unique_fd fd(::open(path, O_RDONLY | O_SYNC | O_CLOEXEC));
    if (!fd) {
        qvctl_status_set(st, errno, "ERROR: Failed to open %s", path);
        return nullptr;
    }
    int block_size = 0;
    if (::ioctl(fd.get(), FIGETBSZ, &block_size) < 0 || block_size <= 0) {
        qvctl_status_set(st, errno ? errno : EINVAL, "%s: unable to determine block size", __func__);
        return nullptr;
    }
    const auto bsize = static_cast<uint32_t>(block_size);
    struct stat sb;
    if (::fstat(fd.get(), &sb) < 0) {
        qvctl_status_set(st, errno, "ERROR: Failed to fstat %s in %s", path, __func__);
        return nullptr;
    }
    qv::fiemap_ptr map = qv::fiemap_zeroed(0);
    if (!map) {
        qvctl_status_set(st, errno, "ERROR: calloc failed in %s", __func__);
        return nullptr;
    }
    fibmap_run run{};
    // The append may move the block; the owner follows it.
    auto append = [&] {
        struct fiemap *p = map.release();
        int r = fibmap_run_append(&p, bsize, &run, st);
        map.reset(p);
        return r;
    };
    const uint64_t blocks = (static_cast<uint64_t>(sb.st_size) + bsize - 1) / bsize;
    for (uint64_t b = 0; b < blocks; ++b) {
        int v = static_cast<int>(b);
        if (::ioctl(fd.get(), FIBMAP, &v) < 0) {
            qvctl_status_set(st, errno, "FIBMAP ioctl failed");
            return nullptr;
        }
        if (v == 0) {
            qvctl_status_set(st, ESPIPE, "FIBMAP returned address 0. Maybe file is not allocated.");
            return nullptr;
        }
        const auto block = static_cast<uint64_t>(static_cast<uint32_t>(v));
        if (b > 0 && block == run.last + 1) {
            run.last = block;
            ++run.count;
            continue;
        }
        if (b > 0 && append())
            return nullptr;
        run = {b * bsize, block, block, 1};
    }
    // An empty file gives one extent of length 0.
    return append() ? nullptr : map.release();
}
