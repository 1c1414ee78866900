// SPDX-License-Identifier: LGPL-2.1-or-later
// Extent-map heap blocks: 32 bytes of header and 56 per extent, from the C allocator.
#pragma once

#include <linux/fiemap.h>

#include <cstdlib>
#include <cstring>

#include "heap_block.h"

namespace qv {

using fiemap_ptr = heap_ptr<struct fiemap>;

constexpr std::size_t fiemap_bytes(std::size_t extents) noexcept
{
    return sizeof(struct fiemap) + extents * sizeof(struct fiemap_extent);
}

static_assert(fiemap_bytes(0) == 32 && fiemap_bytes(1) == 88);

inline fiemap_ptr fiemap_zeroed(std::size_t extents) noexcept
{
    return fiemap_ptr(static_cast<struct fiemap *>(std::calloc(1, fiemap_bytes(extents))));
}

// Room for `extents` extents, the new ones zeroed; false (the map kept as it was) when memory is short.
inline bool fiemap_grow(fiemap_ptr &map, std::size_t old_extents, std::size_t extents) noexcept
{
    void *p = std::realloc(map.get(), fiemap_bytes(extents));
    if (!p)
        return false;
    (void)map.release();
    map.reset(static_cast<struct fiemap *>(p));
    if (extents > old_extents)
        std::memset(&map->fm_extents[old_extents], 0, (extents - old_extents) * sizeof(struct fiemap_extent));
    return true;
}

}  // namespace qv
