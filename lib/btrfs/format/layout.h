// SPDX-License-Identifier: LGPL-2.1-or-later
// The btrfs on-disk records the chunk tree reader uses: one accessor per field, its offset and
// width written once. Every accessor reads through a span, so a field outside it reads as 0;
// callers check sizes (the `*_fits` helpers) before trusting a walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "btrfs/btrfs.h"
#include "bytes.h"
#include "field.h"

namespace qv::btrfs {

// Superblock, read whole from device offset 65536: its checksum covers all of it.
namespace super {
inline constexpr std::uint64_t device_offset = 65536;
inline constexpr std::size_t read_size = BTRFS_SUPER_READ_SIZE;
inline constexpr std::uint8_t magic_text[8] = {'_', 'B', 'H', 'R', 'f', 'S', '_', 'M'};
inline constexpr std::size_t sys_chunk_array_max = 2048;
// Bytes from here to the end are what the checksum in the first bytes covers.
inline constexpr std::size_t checksummed_from = 32;

inline constexpr field<std::uint32_t> csum{0};  // the first 4 of 32 bytes, for a crc32c
inline constexpr byte_field fsid{32, 16};
inline constexpr field<std::uint64_t> bytenr{48};
inline constexpr byte_field magic{64, 8};
inline constexpr field<std::uint64_t> root{80};
inline constexpr field<std::uint64_t> chunk_root{88};
inline constexpr field<std::uint32_t> nodesize{148};
inline constexpr field<std::uint32_t> leafsize{152};
inline constexpr field<std::uint32_t> sys_chunk_array_size{160};
inline constexpr field<std::uint64_t> incompat_flags{188};
inline constexpr field<std::uint16_t> csum_type{196};
inline constexpr field<std::uint8_t> chunk_root_level{199};
// The id of the device this superblock was read from: the first field of its dev_item.
inline constexpr field<std::uint64_t> devid{201};
inline constexpr byte_field metadata_uuid{571, 16};
inline constexpr std::size_t sys_chunk_array_offset = 811;

// With this incompat flag the tree blocks carry metadata_uuid where they would carry the fsid.
inline constexpr std::uint64_t incompat_metadata_uuid = 1u << 10;
enum csum_kind : std::uint16_t { csum_crc32c = 0, csum_xxhash64 = 1, csum_sha256 = 2, csum_blake2b = 3 };

inline bytes sys_chunk_array(bytes sb)
{
    if (sb.size() < sys_chunk_array_offset)
        return {};
    return sb.subspan(sys_chunk_array_offset,
                      std::min(sys_chunk_array_max, sb.size() - sys_chunk_array_offset));
}
bool magic_ok(bytes sb);
// The uuid every tree block of this filesystem must carry.
inline bytes tree_fsid(bytes sb)
{
    return (incompat_flags(sb) & incompat_metadata_uuid) ? metadata_uuid(sb) : fsid(sb);
}
}  // namespace super

// btrfs_stripe: one copy's place.
namespace stripe {
inline constexpr std::size_t size = 32;
inline constexpr field<std::uint64_t> devid{0};
// The stripe's byte offset on its device.
inline constexpr field<std::uint64_t> offset{8};
}  // namespace stripe

// btrfs_disk_key, packed.
namespace key {
inline constexpr std::size_t size = 17;
inline constexpr std::uint8_t chunk_item_type = 228;

inline constexpr field<std::uint64_t> objectid{0};
inline constexpr field<std::uint8_t> type{8};
inline constexpr field<std::uint64_t> offset{9};
}  // namespace key

// btrfs_chunk followed by its stripes; a chunk always has at least one stripe, so its item is
// never shorter than the chunk head plus the first stripe.
namespace chunk {
inline constexpr std::size_t head_size = 48;
inline constexpr std::size_t min_size = head_size + stripe::size;  // 80: head and first stripe

inline constexpr field<std::uint64_t> length{0};
// Block group flags: what the chunk holds and its profile (how its copies or stripes are laid out).
inline constexpr field<std::uint64_t> type{24};
inline constexpr field<std::uint16_t> num_stripes{44};
inline std::size_t stripe_at(std::uint16_t i) { return head_size + stripe::size * std::size_t{i}; }
inline bytes stripe_of(bytes c, std::uint16_t i)
{
    return byte_field{stripe_at(i), stripe::size}(c);
}
inline std::uint64_t stripe_devid(bytes c, std::uint16_t i) { return stripe::devid(stripe_of(c, i)); }
inline std::uint64_t stripe_offset(bytes c, std::uint16_t i) { return stripe::offset(stripe_of(c, i)); }
// Defined for a stripe count of at least 1 only.
constexpr std::uint32_t item_size(std::uint16_t stripes)
{
    return static_cast<std::uint32_t>(min_size + stripe::size * (stripes - 1u));
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
// Levels run from 0 (a leaf) to 7.
inline constexpr std::uint8_t max_level = 8;
// Bytes from here to the node's end are what the checksum in its first bytes covers.
inline constexpr std::size_t checksummed_from = 32;

inline constexpr field<std::uint32_t> csum{0};  // the first 4 of 32 bytes, for a crc32c
inline constexpr byte_field fsid{32, 16};
inline constexpr field<std::uint64_t> bytenr{48};
inline constexpr field<std::uint32_t> nritems{96};
inline constexpr field<std::uint8_t> level{100};

// A node buffer as btrfs_node_alloc makes it: a u32 holding the node size, then the node's bytes.
inline bytes in_buffer(const std::uint8_t *buf)
{
    std::uint32_t size;
    std::memcpy(&size, buf, sizeof size);
    return {buf + sizeof size, size};
}

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
inline constexpr field<std::uint64_t> blockptr{17};
inline constexpr field<std::uint64_t> generation{25};
}  // namespace key_ptr

namespace item {
inline bytes key(bytes it) { return it.first(std::min(it.size(), key::size)); }
// The data's position counted from the end of the node header.
inline constexpr field<std::uint32_t> offset{17};
inline constexpr field<std::uint32_t> size{21};
}  // namespace item

}  // namespace qv::btrfs
