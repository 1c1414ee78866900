// SPDX-License-Identifier: LGPL-2.1-or-later
// The kernel method's marking: every 512-byte sector of the file is written once carrying the mark
// and then at once with its own content again, so that the module sees where the file lies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "heap_block.h"
#include "store/extent_map.h"
#include "store/zero_fill.h"
#include "unique_fd.h"

namespace {

// A short transfer without an errno is still a failure.
int io_code() { return errno ? errno & 255 : EIO; }

int io_failure(qvctl_status *st, const char *what, const char *path)
{
    return qvctl_status_set(st, io_code(), "ERROR: ERROR: failed to %s file %s", what, path);
}

}  // namespace

extern "C" int file_mark(const char *path, uint32_t chunk, qvctl_status *st)
{
    uint64_t c = chunk ? chunk : ZERO_FILL_CHUNK_MAX;
    qv::unique_fd fd(::open(path, O_RDWR | O_SYNC | O_CLOEXEC));
    if (!fd)
        return qvctl_status_set(st, errno, "ERROR: Failed to open %s", path);
    struct stat sb;
    if (::fstat(fd.get(), &sb) < 0)
        return qvctl_status_set(st, errno, "ERROR: Failed to get size of %s", path);
    const auto size = static_cast<uint64_t>(sb.st_size);
    // No chunk is longer than the file: a small store needs no buffers of the default 350 MiB.
    if (const uint64_t whole = (size + FILE_MARK_BLOCK - 1) / FILE_MARK_BLOCK * FILE_MARK_BLOCK; whole && c > whole)
        c = whole;
    qv::heap_block mark(static_cast<uint8_t *>(buffer_alloc_shrinking(&c, FILE_MARK_BLOCK, true)));
    if (!mark)
        return qvctl_status_set(st, ENOMEM, "ERROR: Failed to allocate memory for mark data");
    qv::heap_block saved(static_cast<uint8_t *>(std::malloc(c)));
    if (!saved)
        return qvctl_status_set(st, ENOMEM, "ERROR: Failed to allocate memory for original data");
    const uint64_t pattern = FILE_MARK_PATTERN;
    for (uint64_t at = 0; at + sizeof pattern <= c; at += FILE_MARK_BLOCK)
        std::memcpy(mark.get() + at, &pattern, sizeof pattern);
    if (::lseek(fd.get(), 0, SEEK_SET) < 0)
        return qvctl_status_set(st, errno & 255, "ERROR: ERROR: failed to seek file %s", path);

    int code = 0;
    for (uint64_t pos = 0; pos < size;) {
        if (pos + c >= size)
            c = size - pos;
        const auto len = static_cast<size_t>(c);
        const auto off = static_cast<off_t>(pos);
        errno = 0;
        if (::pread(fd.get(), saved.get(), len, off) != static_cast<ssize_t>(len)) {
            code = qvctl_status_set(st, io_code(), "ERROR: ERROR: failed to read file %s [%zu:%zu]", path,
                                    static_cast<size_t>(pos), len);
            break;
        }
        const bool marked = ::pwrite(fd.get(), mark.get(), len, off) == static_cast<ssize_t>(len);
        if (!marked)
            code = io_failure(st, "mark", path);
        // The content goes back even when the mark did not make it whole.
        if (::pwrite(fd.get(), saved.get(), len, off) != static_cast<ssize_t>(len)) {
            code = io_failure(st, "write", path);
            break;
        }
        if (!marked)
            break;
        pos += c;
    }
    ::fsync(fd.get());
    return code;
}
