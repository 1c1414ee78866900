// SPDX-License-Identifier: LGPL-2.1-or-later
// The FIEMAP method: the kernel's extents of a file, asked for in rounds, physically adjacent ones
// merged, also across rounds.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "store/extent_map.h"
#include "store/extent_map_block.h"
#include "unique_fd.h"

namespace {

void query_set(struct fiemap &q, uint64_t start, uint64_t size, uint32_t room)
{
    q.fm_start = start;
    q.fm_length = size;
    q.fm_flags = FIEMAP_FLAG_SYNC;
    q.fm_mapped_extents = 0;
    q.fm_extent_count = room;
}

struct walk {
    qv::fiemap_ptr query = qv::fiemap_zeroed(0);
    qv::fiemap_ptr result = qv::fiemap_zeroed(0);
    uint32_t count = 0;
    uint64_t start = 0, previous_end = 0;

    // Appends the round's extents to the result; true when the file's last extent was among them.
    bool take_round(const struct fiemap &q)
    {
        for (uint32_t i = 0; i < q.fm_mapped_extents; ++i) {
            const struct fiemap_extent &e = q.fm_extents[i];
            if (count > 0 && e.fe_physical == previous_end)
                result->fm_extents[count - 1].fe_length += e.fe_length;
            else
                result->fm_extents[count++] = e;
            previous_end = e.fe_physical + e.fe_length;
            start = e.fe_logical + e.fe_length;
        }
        return q.fm_mapped_extents == 0 || (q.fm_extents[q.fm_mapped_extents - 1].fe_flags & FIEMAP_EXTENT_LAST);
    }
};

}  // namespace

extern "C" struct fiemap *file_map_fiemap(const char *path, qvctl_status *st)
{
    qv::unique_fd fd(::open(path, O_RDONLY | O_SYNC | O_CLOEXEC));
    if (!fd) {
        qvctl_status_set(st, errno, "ERROR: Failed to open %s", path);
        return nullptr;
    }
    struct stat sb;
    const uint64_t size = ::fstat(fd.get(), &sb) == 0 ? static_cast<uint64_t>(sb.st_size) : UINT64_MAX;
    walk w;
    if (!w.query || !w.result) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for fiemap");
        return nullptr;
    }
    while (w.start < size) {
        query_set(*w.query, w.start, size, 0);
        if (::ioctl(fd.get(), FS_IOC_FIEMAP, w.query.get()) < 0) {
            qvctl_status_set(st, errno, "FS_IOC_FIEMAP ioctl failed");
            return nullptr;
        }
        const uint32_t m = w.query->fm_mapped_extents;
        if (m == 0)
            break;
        if (!qv::fiemap_grow(w.query, 0, m)) {
            qvctl_status_set(st, errno, "failed to realloc fiemap");
            return nullptr;
        }
        query_set(*w.query, w.start, size, m);
        if (::ioctl(fd.get(), FS_IOC_FIEMAP, w.query.get()) < 0) {
            qvctl_status_set(st, errno, "FS_IOC_FIEMAP ioctl failed");
            return nullptr;
        }
        // The kernel never answers more than the room it was given.
        const uint32_t got = w.query->fm_mapped_extents < m ? w.query->fm_mapped_extents : m;
        w.query->fm_mapped_extents = got;
        if (!qv::fiemap_grow(w.result, w.count, w.count + got)) {
            qvctl_status_set(st, errno, "failed to realloc result fiemap");
            return nullptr;
        }
        if (w.take_round(*w.query))
            break;
    }
    w.result->fm_mapped_extents = w.count;
    return w.result.release();
}
