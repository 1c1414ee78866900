// SPDX-License-Identifier: LGPL-2.1-or-later
// Heap blocks from the C allocator (so that allocation failures are reported, not thrown),
// released with free on every path and handed to a caller with release().
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

namespace qv {

struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

template <typename T = std::uint8_t>
using heap_ptr = std::unique_ptr<T, free_deleter>;

using heap_block = heap_ptr<std::uint8_t>;

inline heap_block heap_zeroed(std::size_t size) noexcept
{
    return heap_block(static_cast<std::uint8_t *>(std::calloc(1, size)));
}

struct file_closer {
    void operator()(std::FILE *f) const noexcept
    {
        if (f)
            std::fclose(f);
    }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

}  // namespace qv
