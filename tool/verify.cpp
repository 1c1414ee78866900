// SPDX-License-Identifier: GPL-2.0-or-later
// The comparison of an image with its snapshot device: the blocks of a base run or of the
// changelog, split into contiguous ranges over workers as the copy does, each block read from both
// and compared.
#include <fcntl.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "heap_block.h"
#include "qvctl_internal.h"
#include "snap_engine.h"
#include "unique_fd.h"

namespace {

using ull = unsigned long long;

struct verify_worker {
    const snap_options *o;
    const uint64_t *index;  // the blocks' sectors, or null for every block
    uint64_t first, last, sectors;
    uint64_t compared = 0;
    snap_verify_result found{};
    qvctl_status status{};
};

// The sector of the first byte at which the image differs; the image may end early.
bool first_difference(const uint8_t *snap, const uint8_t *image, size_t length, size_t image_length, uint64_t sector,
                      uint64_t &at)
{
    size_t n = std::min(length, image_length);
    size_t i = 0;
    while (i < n && snap[i] == image[i])
        ++i;
    if (i == length)
        return false;
    at = sector + i / 512;
    return true;
}

void note(snap_verify_result &r, uint64_t sector)
{
    if (r.shown < SNAP_VERIFY_SECTORS_SHOWN)
        r.sectors[r.shown++] = sector;
    ++r.differing;
}

bool read_block(int fd, uint8_t *buf, uint64_t length, uint64_t offset, size_t &got, qvctl_status &st, const char *what)
{
    ssize_t n = ::pread(fd, buf, length, static_cast<off_t>(offset));
    if (n < 0) {
        qvctl_status_set(&st, errno, "%s read at %llu failed: %s", what, static_cast<ull>(offset),
                         std::strerror(errno));
        return false;
    }
    got = static_cast<size_t>(n);
    return true;
}

// The snapshot's bytes of a differing block over the image's, at the block's own offset.
bool rewrite(verify_worker &w, uint8_t *block, size_t length, uint64_t sector)
{
    if (snap_block_copy(w.o->snapdev_fd, sector * 512, w.o->snapfile_fd, sector * 512, length, block, w.o->flags,
                        &w.status))
        return false;
    w.found.bytes_written += length;
    return true;
}

void *verify_run(void *arg)
{
    auto &w = *static_cast<verify_worker *>(arg);
    const snap_options &o = *w.o;
    qv::heap_block snap(static_cast<uint8_t *>(std::aligned_alloc(SNAP_BLOCK_SIZE, SNAP_BLOCK_SIZE)));
    qv::heap_block image(static_cast<uint8_t *>(std::aligned_alloc(SNAP_BLOCK_SIZE, SNAP_BLOCK_SIZE)));
    if (!snap || !image) {
        qvctl_status_set(&w.status, ENOMEM, "ERROR: Failed to allocate memory in %s", __func__);
        return nullptr;
    }
    const bool counted = !(o.flags & SNAP_HIDE_PROGRESS);
    for (uint64_t k = w.first; k <= w.last && !snap_interrupt_signal(); ++k) {
        uint64_t sector = w.index ? w.index[k] : SNAP_BLOCK_SECTORS * k;
        uint64_t left = w.sectors - sector;
        uint64_t length = left < SNAP_BLOCK_SECTORS ? left * 512 : SNAP_BLOCK_SIZE;
        size_t from_snap = 0, from_image = 0;
        if (!read_block(o.snapdev_fd, snap.get(), length, sector * 512, from_snap, w.status, "snapshot") ||
            !read_block(o.snapfile_fd, image.get(), length, sector * 512, from_image, w.status, "image"))
            return nullptr;
        uint64_t at = 0;
        if (first_difference(snap.get(), image.get(), from_snap, from_image, sector, at)) {
            note(w.found, at);
            if ((o.flags & SNAP_RESYNC) && !rewrite(w, snap.get(), from_snap, sector))
                return nullptr;
        }
        ++w.compared;
        if (counted)
            snap_progress_count();
    }
    return nullptr;
}

// The workers' findings in block order: each range is ascending and the ranges follow each other.
void merge(const std::vector<verify_worker> &workers, snap_verify_result &out)
{
    out = snap_verify_result{};
    for (const verify_worker &w : workers) {
        out.blocks += w.compared;
        out.differing += w.found.differing;
        out.bytes_written += w.found.bytes_written;
        for (unsigned i = 0; i < w.found.shown && out.shown < SNAP_VERIFY_SECTORS_SHOWN; ++i)
            out.sectors[out.shown++] = w.found.sectors[i];
    }
    std::sort(out.sectors, out.sectors + out.shown);
}

int compare(snap_options &o, const uint64_t *index, uint64_t sectors, uint64_t total, snap_verify_result &result)
{
    const uint64_t n = static_cast<uint64_t>(o.workers);
    const uint64_t per = total / n + (total % n != 0);
    std::vector<verify_worker> workers;
    std::vector<pthread_t> threads;
    workers.reserve(n);
    threads.reserve(n);
    snap_progress_reset();
    pthread_t progress_thread;
    const bool progress = !(o.flags & SNAP_HIDE_PROGRESS) &&
                          pthread_create(&progress_thread, nullptr, snap_progress_run, &total) == 0;
    for (uint64_t i = 0; i < n && i * per < total; ++i) {
        workers.push_back({&o, index, i * per, std::min(total, (i + 1) * per) - 1, sectors});
        pthread_t t;
        if (int e = pthread_create(&t, nullptr, verify_run, &workers.back())) {
            qvctl_status_set(&o.status, e & 0xFF, "ERROR: failed to create worker thread [%d]: %s",
                             static_cast<int>(i), std::strerror(e));
            workers.pop_back();
            break;
        }
        threads.push_back(t);
    }
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
    if (progress) {
        snap_progress_stop();
        pthread_join(progress_thread, nullptr);
    }
    merge(workers, result);
    for (const verify_worker &w : workers)
        if (w.status.code && !o.status.code)
            o.status = w.status;
    if (int sig = snap_interrupt_signal(); sig && !o.status.code)
        qvctl_status_set(&o.status, SNAP_INTERRUPTED,
                         "ERROR: interrupted by signal %d after %llu of %llu blocks compared",
                         sig, static_cast<ull>(result.blocks), static_cast<ull>(total));
    return o.status.code;
}

}  // namespace

extern "C" int snap_verify(snap_options *opts, snap_verify_result *result)
{
    snap_options &o = *opts;
    snap_verify_result found{};
    uint64_t sectors = device_size_sectors(o.blkdev, &o.status);
    uint64_t total = sectors ? snap_blocks_count(&o) : 0;
    uint32_t code = o.status.code;
    if (!code && total)
        code = compare(o, o.changelog, sectors, total, found);
    std::free(o.changelog);
    o.changelog = nullptr;
    if (!code)
        *result = found;
    return code;
}

extern "C" int snap_verify_blocks(snap_options *opts, const uint64_t *sectors, uint64_t count,
                                      snap_verify_result *result)
{
    snap_options &o = *opts;
    snap_verify_result found{};
    uint64_t device = device_size_sectors(o.blkdev, &o.status);
    uint32_t code = o.status.code;
    if (!code && device && count)
        code = compare(o, sectors, device, count, found);
    if (!code)
        *result = found;
    return code;
}

extern "C" int snap_verify_image(snap_options *opts, snap_verify_result *result)
{
    snap_options &o = *opts;
    char path[4096] = "";
    if (int r = qvctl_snapshot_get(o.blkdev, path, &o.status))
        return r;
    std::snprintf(o.snapdev, sizeof o.snapdev, "%.128s", path);
    const auto open_read = [&o](const char *name, qv::unique_fd &fd) {
        fd.reset(::open(name, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
        if (!fd)
            qvctl_status_set(&o.status, errno, "ERROR: could not open file %s: %s", name, std::strerror(errno));
        return static_cast<bool>(fd);
    };
    qv::unique_fd snapdev, image;
    if (!open_read(path, snapdev) || !open_read(o.snapfile, image))
        return o.status.code;
    // Read back from the disk, not from the pages the copy left behind.
    ::posix_fadvise(image.get(), 0, 0, POSIX_FADV_DONTNEED);
    o.snapdev_fd = snapdev.get();
    o.snapfile_fd = image.get();
    uint32_t code = snap_verify(&o, result);
    o.snapfile_fd = o.snapdev_fd = 0;  // closed with their owners here
    return code;
}
