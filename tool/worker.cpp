// SPDX-License-Identifier: GPL-2.0-or-later
// A worker's copy of its range: one 4 KiB positioned read and write per block, into the image at
// the block's own offset or into a file of its own.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "heap_block.h"
#include "snap_engine.h"

namespace {

using ull = unsigned long long;

// One block into its own file FILE.SECTOR, written from offset 0.
int copy_separated(snap_worker &w, snap_block_name &name, uint64_t sector, uint64_t length, void *buffer)
{
    int fd = snap_separated_open(&name, sector, &w.status);
    if (fd < 0)
        return w.status.code;
    if (int r = snap_block_copy(w.snapdev_fd, sector * 512, fd, 0, length, buffer, w.flags, &w.status)) {
        ::close(fd);
        return r;
    }
    if (::close(fd) != 0) {
        int e = errno;
        return qvctl_status_set(
            &w.status, e, "ERROR: Failed to close separate output file for block with sector #%lu [%d, '%s']",
            static_cast<unsigned long>(sector), e, std::strerror(e));
    }
    return 0;
}

void copy_range(snap_worker &w, void *buffer)
{
    const bool separated = w.flags & SNAP_SEPARATED;
    // A dry run creates no per-block files.
    const bool files = separated && !(w.flags & SNAP_NO_WRITE);
    const bool counted = !(w.flags & SNAP_HIDE_PROGRESS);
    snap_block_name name;
    if (files && snap_block_name_init(&name, w.snapfile, &w.status))
        return;
    if (w.first > w.last)
        return;
    for (uint64_t k = w.first;; ++k) {
        if (snap_interrupt_signal())
            return;  // the run reports how far it got
        uint64_t sector = w.changelog ? w.changelog[k] : SNAP_BLOCK_SECTORS * k;
        uint64_t left = w.sectors - sector;
        uint64_t length = left < SNAP_BLOCK_SECTORS ? left * 512 : SNAP_BLOCK_SIZE;
        int r = files ? copy_separated(w, name, sector, length, buffer)
                           : snap_block_copy(w.snapdev_fd, sector * 512, w.snapfile_fd, sector * 512, length,
                                             buffer, w.flags, &w.status);
        if (r)
            return;
        ++w.copied;
        w.bytes += length;
        if (counted)
            snap_progress_count();
        if (k == w.last)
            break;  // tested here rather than in the loop head, so that k never passes last
    }
}

}  // namespace

extern "C" int snap_block_copy(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset, uint64_t length,
                                    void *buffer, uint32_t flags, qvctl_status *status)
{
    errno = 0;
    ssize_t n = ::pread(in_fd, buffer, length, static_cast<off_t>(in_offset));
    if (static_cast<uint64_t>(n) != length && errno != 0) {
        int e = errno;
        return qvctl_status_set(status, e, "input file read at %llu failed (%llu/%llu): %s",
                                        static_cast<ull>(in_offset), static_cast<ull>(n), static_cast<ull>(length),
                                        std::strerror(e));
    }
    // A short read without an error is the end of the device; what was read is written.
    if ((flags & SNAP_NO_WRITE) || n <= 0)
        return 0;
    errno = 0;
    ssize_t m = ::pwrite(out_fd, buffer, static_cast<size_t>(n), static_cast<off_t>(out_offset));
    if (m == n)
        return 0;
    int e = errno;
    if (e == 0)
        return qvctl_status_set(status, EIO, "unexpected write behavior at off %llu (%llu/%llu)",
                                        static_cast<ull>(out_offset), static_cast<ull>(m), static_cast<ull>(n));
    return qvctl_status_set(status, e, "output file write at %llu failed (%llu/%llu): %s",
                                    static_cast<ull>(out_offset), static_cast<ull>(m), static_cast<ull>(n),
                                    std::strerror(e));
}

extern "C" int snap_block_name_init(snap_block_name *name, const char *base, qvctl_status *status)
{
    // Room for the dot, twenty digits and the terminator.
    int n = std::snprintf(name->path, sizeof name->path, "%s.", base);
    if (n <= 0 || static_cast<size_t>(n) + 21 > sizeof name->path)
        return qvctl_status_set(status, n <= 0 && errno ? errno : ENAMETOOLONG,
                                        "could not store full name of separated file %s", base);
    name->base_length = static_cast<size_t>(n);
    return 0;
}

extern "C" int snap_separated_open(snap_block_name *name, uint64_t sector, qvctl_status *status)
{
    char *digits = name->path + name->base_length;
    char *end = std::to_chars(digits, name->path + sizeof name->path - 1, sector).ptr;
    *end = '\0';
    qvctl_status refused{};
    int fd = snap_file_open(name->path, O_WRONLY | O_CREAT | O_TRUNC, 0644, &refused);
    if (fd < 0 && refused.code) {
        *status = refused;
        return -static_cast<int>(refused.code);
    }
    if (fd < 0)
        return -qvctl_status_set(status, errno, "failed to open file %s", name->path);
    return fd;
}

extern "C" void *snap_worker_run(void *arg)
{
    auto &w = *static_cast<snap_worker *>(arg);
    // Aligned, so that the same buffer serves an O_DIRECT descriptor too.
    qv::heap_block buffer(static_cast<std::uint8_t *>(std::aligned_alloc(SNAP_BLOCK_SIZE, SNAP_BLOCK_SIZE)));
    if (!buffer)
        qvctl_status_set(&w.status, errno, "%s: Failed to allocate %lu bytes for I/O buffer", __func__,
                         static_cast<unsigned long>(SNAP_BLOCK_SIZE));
    else
        copy_range(w, buffer.get());
    if (w.status.code)
        qvctl_log(LOG_ERR, stderr, "%s", w.status.message);
    return nullptr;
}
