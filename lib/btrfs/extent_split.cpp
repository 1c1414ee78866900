// SPDX-License-Identifier: LGPL-2.1-or-later
// Translating an extent map through the chunk map, cutting every extent where a chunk ends: the
// bytes past a chunk's end lie in whatever chunk comes next in the logical space, not after its stripe.
#include <cerrno>
#include <cstring>

#include "btrfs/btrfs.h"
#include "store/extent_map_block.h"

namespace {

// The output map, grown by doubling.
struct pieces {
    qv::fiemap_ptr map;
    std::size_t count = 0, room = 0;

    bool add(const fiemap_extent &e)
    {
        if (count == room && !grow())
            return false;
        map->fm_extents[count++] = e;
        return true;
    }

    bool grow()
    {
        const std::size_t more = room ? room * 2 : 8;
        if (map ? !qv::fiemap_grow(map, room, more) : !(map = qv::fiemap_zeroed(more)))
            return false;
        room = more;
        return true;
    }
};

// The length of the piece that starts at `address` within `remaining` bytes: up to the end of the
// chunk holding it, or, where none does, up to the next chunk's start.
uint64_t piece_length(chunk_map *chunks, uint64_t address, uint64_t remaining)
{
    chunk_map_entry found{};
    uint64_t reach = remaining, next = 0;
    if (chunk_map_find(chunks, address, &found) && found.length > address - found.logical)
        reach = found.length - (address - found.logical);
    else if (chunk_map_next_start(chunks, address, &next))
        reach = next - address;
    return reach < remaining ? reach : remaining;
}

}  // namespace

extern "C" int chunk_map_split(chunk_map *chunks, const struct fiemap *in, const char *where,
                               struct fiemap **out, qvctl_status *st)
{
    pieces result;
    for (uint32_t i = 0; i < in->fm_mapped_extents; ++i) {
        const fiemap_extent &e = in->fm_extents[i];
        uint64_t logical = e.fe_physical, file = e.fe_logical, remaining = e.fe_length;
        do {
            uint64_t physical = 0;
            if (int r = chunk_map_locate(chunks, logical, where, &physical, st))
                return r;
            const uint64_t length = remaining ? piece_length(chunks, logical, remaining) : 0;
            if (length < remaining && logical + length < logical)
                return qvctl_status_set(st, QVCTL_EBADDATA,
                                        "ERROR: %s: btrfs extent at %llu runs past the end of the address space",
                                        where, static_cast<unsigned long long>(e.fe_physical));
            remaining -= length;
            fiemap_extent piece = e;
            piece.fe_logical = file;
            piece.fe_physical = physical;
            piece.fe_length = length;
            // Only the extent's last piece may end the file.
            if (remaining)
                piece.fe_flags &= ~FIEMAP_EXTENT_LAST;
            if (!result.add(piece))
                return qvctl_status_set(st, errno, "ERROR: Failed to allocate memory in %s", __func__);
            logical += length;
            file += length;
        } while (remaining);
    }
    if (!result.map && !(result.map = qv::fiemap_zeroed(0)))
        return qvctl_status_set(st, errno, "ERROR: Failed to allocate memory in %s", __func__);
    std::memcpy(result.map.get(), in, sizeof(struct fiemap));
    result.map->fm_mapped_extents = static_cast<uint32_t>(result.count);
    *out = result.map.release();
    return 0;
}
