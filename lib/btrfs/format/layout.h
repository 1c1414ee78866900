// SPDX-License-Identifier: LGPL-2.1-or-later
// The btrfs on-disk records the chunk tree reader uses: one accessor per field, its offset and
// width written once. Every accessor reads through a span, so a field outside it reads as 0;
// callers check sizes (the `*_fits` helpers) before trusting a walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "bytes.h"

namespace qv::btrfs {

// Superblock, read from device offset 65536: the fields up to the end of the root backups.
namespace super {
inline constexpr std::uint64_t device_offset = 65536;
inline constexpr std::size_t read_size = 3531;
inline constexpr std::uint8_t magic_text[8] = {'_', 'B', 'H', 'R', 'f', 'S', '_', 'M'};
inline constexpr std::size_t magic_offset = 64;
inline constexpr std::size_t sys_chunk_array_offset = 811;
inline constexpr std::size_t sys_chunk_array_max = 2048;

inline std::uint64_t bytenr(bytes sb) { return load_le<std::uint64_t>(sb, 48); }
inline std::uint64_t chunk_root(bytes sb) { return load_le<std::uint64_t>(sb, 88); }
inline std::uint32_t nodesize(bytes sb) { return load_le<std::uint32_t>(sb, 148); }
inline std::uint32_t leafsize(bytes sb) { return load_le<std::uint32_t>(sb, 152); }
inline std::uint32_t sys_chunk_array_size(bytes sb) { return load_le<std::uint32_t>(sb, 160); }
inline std::uint8_t chunk_root_level(bytes sb) { return load_le<std::uint8_t>(sb, 199); }
// The id of the device this superblock was read from: the first field of its dev_item.
inline std::uint64_t devid(bytes sb) { return load_le<std::uint64_t>(sb, 201); }
inline bytes sys_chunk_array(bytes sb)
{
    if (sb.size() < sys_chunk_array_offset)
        return {};
    return sb.subspan(sys_chunk_array_offset,
                      std::min(sys_chunk_array_max, sb.size() - sys_chunk_array_offset));
}
bool magic_ok(bytes sb);
}  // namespace super

// btrfs_disk_key, packed.
namespace key {
inline constexpr std::size_t size = 17;
inline constexpr std::uint8_t chunk_item_type = 228;

inline std::uint64_t objectid(bytes k) { return load_le<std::uint64_t>(k, 0); }
inline std::uint8_t type(bytes k) { return load_le<std::uint8_t>(k, 8); }
inline std::uint64_t offset(bytes k) { return load_le<std::uint64_t>(k, 9); }
}  // namespace key

// btrfs_chunk followed by its stripes; a chunk always has at least one stripe, so its item is
// never shorter than the chunk head plus the first stripe.
namespace chunk {
inline constexpr std::size_t head_size = 48;
inline constexpr std::size_t stripe_size = 32;
inline constexpr std::size_t min_size = head_size + stripe_size;  // 80: head and first stripe
inline constexpr std::size_t first_stripe = head_size;

inline std::uint64_t length(bytes c) { return load_le<std::uint64_t>(c, 0); }
// Block group flags: what the chunk holds and its profile (how its copies or stripes are laid out).
inline std::uint64_t type(bytes c) { return load_le<std::uint64_t>(c, 24); }
inline std::uint16_t num_stripes(bytes c) { return load_le<std::uint16_t>(c, 44); }
inline std::size_t stripe_at(std::uint16_t i) { return first_stripe + stripe_size * std::size_t{i}; }
inline std::uint64_t stripe_devid(bytes c, std::uint16_t i) { return load_le<std::uint64_t>(c, stripe_at(i)); }
// The stripe's byte offset on its device.
inline std::uint64_t stripe_offset(bytes c, std::uint16_t i) { return load_le<std::uint64_t>(c, stripe_at(i) + 8); }
inline std::uint64_t first_stripe_offset(bytes c) { return stripe_offset(c, 0); }
// Defined for a stripe count of at least 1 only.
constexpr std::uint32_t item_size(std::uint16_t num_stripes)
{
    return static_cast<std::uint32_t>(min_size + stripe_size * (num_stripes - 1u));
}

// The profiles by their block group flag; a chunk with none of them is single. `spread`: the data
// is cut into stripes over several devices, so no one device holds a contiguous copy.
struct profile {
    std::uint64_t flag;
    const char *name;
    bool spread;
};
inline constexpr profile profiles[] = {
    {1u << 3, "raid0", true},    {1u << 4, "raid1", false},  {1u << 5, "dup", false},
    {1u << 6, "raid10", true},   {1u << 7, "raid5", true},   {1u << 8, "raid6", true},
    {1u << 9, "raid1c3", false}, {1u << 10, "raid1c4", false},
};
}  // namespace chunk

// Tree node: a header, then key pointers (above level 0) or items (in a leaf).
namespace node {
inline constexpr std::size_t header_size = 101;
inline constexpr std::size_t key_ptr_size = 33;
inline constexpr std::size_t item_size = 25;
// btrfs never makes nodes larger than this; a larger size from disk is not used as a length.
inline constexpr std::uint32_t max_size = 65536;

inline std::uint32_t nritems(bytes n) { return load_le<std::uint32_t>(n, 96); }
inline std::uint8_t level(bytes n) { return load_le<std::uint8_t>(n, 100); }

inline std::size_t key_ptr_at(std::uint32_t i) { return header_size + key_ptr_size * std::size_t{i}; }
inline std::size_t item_at(std::uint32_t i) { return header_size + item_size * std::size_t{i}; }
// Whether `count` records of `record` bytes after the header lie inside a node of `size`.
constexpr bool table_fits(std::size_t size, std::uint32_t count, std::size_t record)
{
    return size >= header_size && (size - header_size) / record >= count;
}
}  // namespace node

namespace key_ptr {
inline bytes key(bytes p) { return p.first(std::min(p.size(), key::size)); }
inline std::uint64_t blockptr(bytes p) { return load_le<std::uint64_t>(p, 17); }
inline std::uint64_t generation(bytes p) { return load_le<std::uint64_t>(p, 25); }
}  // namespace key_ptr

namespace item {
inline bytes key(bytes it) { return it.first(std::min(it.size(), key::size)); }
// The data's position counted from the end of the node header.
inline std::uint32_t offset(bytes it) { return load_le<std::uint32_t>(it, 17); }
inline std::uint32_t size(bytes it) { return load_le<std::uint32_t>(it, 21); }
}  // namespace item

}  // namespace qv::btrfs
