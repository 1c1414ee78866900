// SPDX-License-Identifier: LGPL-2.1-or-later
// A named on-disk field: its offset and width written once, in a layout table, and read (or, for
// the tests' hand-built images, written) through the bounds-checked helpers of bytes.h.
#pragma once

#include <cstddef>

#include "bytes.h"

namespace qv {

template <Field T, bool Big = false>
struct field {
    std::size_t offset;

    static constexpr std::size_t size = sizeof(T);
    constexpr std::size_t end() const noexcept { return offset + size; }
    // Outside the span the field reads as 0.
    T operator()(bytes b) const noexcept { return Big ? load_be<T>(b, offset) : load_le<T>(b, offset); }
    std::optional<T> try_load(bytes b) const noexcept
    {
        return Big ? try_load_be<T>(b, offset) : try_load_le<T>(b, offset);
    }
    bool put(mut_bytes b, T v) const noexcept { return store_le<T>(b, offset, Big ? byteswap(v) : v); }
};

template <Field T>
using be_field = field<T, true>;

// A run of bytes kept as it is (a uuid, a text, an array).
struct byte_field {
    std::size_t offset, size;

    constexpr std::size_t end() const noexcept { return offset + size; }
    // Empty when the run does not lie wholly inside the span.
    bytes operator()(bytes b) const noexcept
    {
        return offset <= b.size() && b.size() - offset >= size ? b.subspan(offset, size) : bytes{};
    }
    mut_bytes operator()(mut_bytes b) const noexcept
    {
        return offset <= b.size() && b.size() - offset >= size ? b.subspan(offset, size) : mut_bytes{};
    }
};

}  // namespace qv
