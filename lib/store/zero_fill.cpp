// SPDX-License-Identifier: LGPL-2.1-or-later
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "heap_block.h"
#include "qvctl.h"
#include "store/zero_fill.h"

extern "C" void *buffer_alloc_shrinking(uint64_t *size, uint64_t granule, bool zeroed)
{
    uint64_t want = *size;
    void *buf = nullptr;
    for (;;) {
        buf = zeroed ? std::calloc(1, want) : std::malloc(want);
        if (buf)
            break;
        uint64_t half = want / 2;
        if (half < granule)
            break;
        want = half - half % granule;
    }
    *size = want;
    return buf;
}

namespace {

// Loops on short writes so that a partial transfer never leaves a hole of stale bytes.
bool write_all(int fd, const std::uint8_t *buf, uint64_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        buf += n;
        len -= static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int file_zero_fill(int fd, uint64_t length, qvctl_status *status)
{
    uint64_t chunk = ZERO_FILL_CHUNK_MAX;
    qv::heap_block zeros(static_cast<std::uint8_t *>(buffer_alloc_shrinking(&chunk, ZERO_FILL_GRANULE, true)));
    if (!zeros)
        return qvctl_status_set(status, errno, "ERROR: Failed to allocate memory for file resetting chunk");
    for (uint64_t remaining = length; remaining > 0;) {
        uint64_t part = remaining > chunk ? chunk : remaining;
        if (!write_all(fd, zeros.get(), part))
            return qvctl_status_set(status, errno, "Write failed while file resetting");
        remaining -= part;
    }
    return 0;
}
