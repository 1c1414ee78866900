// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/store_pieces.h"
#include "store/zero_fill.h"
#include "unique_fd.h"

extern "C" bool file_allocation_verify(int fd, uint64_t size, qvctl_status *st)
{
    struct stat sb;
    if (::fstat(fd, &sb) != 0) {
        int e = errno;
        qvctl_status_set(st, e, "ERROR: Failed to get fstat (%s)", std::strerror(e));
        return false;
    }
    uint64_t have = static_cast<uint64_t>(sb.st_size);
    if (have != size) {
        qvctl_status_set(st, QVCTL_EDATA_SIZE, "ERROR: ERROR: File has an incorrect size");
        return false;
    }
    if (have / 512 + (have % 512 != 0) > static_cast<uint64_t>(sb.st_blocks)) {
        qvctl_status_set(st, QVCTL_EMODULE_705, "ERROR: ERROR: File is not allocated");
        return false;
    }
    return true;
}

// Without force the piece only has to own its blocks; zeros are written where fallocate is missing
// (ext2, vfat) or when the caller wants the content cleared.
extern "C" int file_allocate(int fd, uint64_t size, bool force, qvctl_status *st)
{
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0)
        return qvctl_status_set(st, errno, "Failed to truncate file");
    if (file_allocation_verify(fd, size, st) && !force)
        return 0;
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0 && !force)
        return 0;
    return file_zero_fill(fd, size, st);
}

extern "C" int file_create(const char *path, uint64_t size, bool force, qvctl_status *st)
{
    qv::unique_fd fd(::open(path, O_RDWR | O_CREAT | O_SYNC | O_CLOEXEC, 0400));
    if (!fd)
        return qvctl_status_set(st, errno, "Failed to open file '%s'", path);
    int r = file_allocate(fd.get(), size, force, st);
    if (r == 0)
        r = ::fsync(fd.get());
    return r;
}

extern "C" int file_check(const char *path, uint64_t size, qvctl_status *st)
{
    qv::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        int e = errno;
        return qvctl_status_set(st, e, "WARNING: Failed to open file %s: %s", path, std::strerror(e));
    }
    qvctl_status own{};
    qvctl_status *s = st ? st : &own;
    if (file_allocation_verify(fd.get(), size, s))
        return 0;
    return static_cast<int>(s->code);
}
