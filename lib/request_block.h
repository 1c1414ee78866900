// SPDX-License-Identifier: LGPL-2.1-or-later
// A request block on the C heap together with its length, for the operations that build requests.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "heap_block.h"
#include "qvctl.h"
#include "request_layout.h"

namespace qv {

struct request_block {
    heap_block data;
    std::size_t length = 0;

    explicit operator bool() const noexcept { return data != nullptr; }
    void *get() const noexcept { return data.get(); }
    mut_bytes span() const noexcept { return {data.get(), data ? length : 0}; }
    bytes view() const noexcept { return {data.get(), data ? length : 0}; }
};

// A zero-filled block of max(length, 528) bytes with version, size and (when given) the device
// path set; empty when memory is short, errno telling why.
inline request_block request_new(std::size_t length, const char *device = nullptr) noexcept
{
    request_block b;
    b.length = length < req::min_size ? req::min_size : length;
    b.data = heap_zeroed(b.length);
    if (!b.data)
        return b;
    qvctl_request_init(b.data.get());
    store_le<std::uint32_t>(b.span(), req::size, static_cast<std::uint32_t>(b.length));
    if (device)
        std::strncpy(reinterpret_cast<char *>(b.data.get() + req::device), device, req::device_width);
    return b;
}

// The opening of a request about one device: its path checked, then a block of `length` bytes naming
// it. 0, or the code of the refusal with `out` left empty; `what` completes "Insufficient memory to".
inline int request_open(request_block &out, const char *path, std::size_t length, const char *what,
                        qvctl_status *st) noexcept
{
    if (int r = qvctl_path_check(path, st))
        return r;
    out = request_new(length, path);
    if (!out)
        return qvctl_status_set(st, errno, "ERROR: Insufficient memory to %s %s", what, path);
    return 0;
}

// Grows the block to `length` bytes, zeroing from `zero_from` on, and writes the new length into its
// size field; false, with the block as it was, when memory is short or when the length (sized by a
// count the module answered) does not fit the size field, errno telling which.
inline bool request_grow(request_block &b, std::size_t zero_from, std::size_t length, qvctl_status *st) noexcept
{
    if (length > UINT32_MAX) {
        errno = EOVERFLOW;
        qvctl_status_set(st, EOVERFLOW, "ERROR: a request block of %zu bytes does not fit its size field", length);
        return false;
    }
    void *grown = qvctl_request_grow(b.get(), zero_from, length, st);
    if (!grown)
        return false;
    (void)b.data.release();
    b.data.reset(static_cast<std::uint8_t *>(grown));
    b.length = length;
    store_le<std::uint32_t>(b.span(), req::size, static_cast<std::uint32_t>(length));
    return true;
}

}  // namespace qv
