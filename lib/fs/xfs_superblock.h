// SPDX-License-Identifier: LGPL-2.1-or-later
// The first bytes of an xfs superblock as one read returned them; fields beyond what was read are absent.
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"
#include "field.h"
#include "qvctl.h"

namespace qv::xfs {

// The superblock fields the readers use, big-endian like all of xfs but for the checksum.
namespace sb {
inline constexpr be_field<std::uint32_t> magicnum{0};
inline constexpr be_field<std::uint32_t> blocksize{4};
inline constexpr be_field<std::uint64_t> dblocks{8};
inline constexpr be_field<std::uint64_t> logstart{48};
inline constexpr be_field<std::uint32_t> agblocks{84};
inline constexpr be_field<std::uint32_t> agcount{88};
inline constexpr be_field<std::uint32_t> logblocks{96};
inline constexpr be_field<std::uint16_t> versionnum{100};
inline constexpr be_field<std::uint16_t> sectsize{102};
inline constexpr be_field<std::uint8_t> blocklog{120};
inline constexpr be_field<std::uint8_t> sectlog{121};
inline constexpr be_field<std::uint8_t> agblklog{124};
// A crc32c over the superblock's sector taken with this field zero, stored little-endian.
inline constexpr field<std::uint32_t> crc{224};
// What a read must hold for every field above but the checksum.
inline constexpr std::size_t fields_end = agblklog.end();
}  // namespace sb

inline constexpr std::uint32_t magic = 0x58465342;  // "XFSB"
inline constexpr std::uint16_t version_mask = 0xf;
// The largest sector xfs has: a read of this many bytes holds any superblock's whole sector.
inline constexpr std::size_t max_sector = 32768;

// A short read carries no superblock: the magic and every field used must lie inside what was read.
inline bool has_magic(bytes b, std::size_t needed) noexcept
{
    return b.size() >= needed && sb::magicnum.try_load(b) == magic;
}

struct log_fields {
    std::uint64_t logstart;
    std::uint32_t agblocks, logblocks;
    std::uint8_t blocklog, agblklog;
};

inline std::optional<log_fields> load_log_fields(bytes b) noexcept
{
    if (b.size() < sb::fields_end)
        return std::nullopt;
    return log_fields{sb::logstart(b), sb::agblocks(b), sb::logblocks(b), sb::blocklog(b), sb::agblklog(b)};
}

// 0 when the geometry the readers use is one xfs can have and, on version 5, the checksum holds;
// else 9 with a message naming `device` and what failed. `b` holds the magic and the fields.
int check(bytes b, const char *device, qvctl_status *st);

// Shifts beyond the width of the value give 0 rather than undefined behaviour; such values have no
// meaning on a valid filesystem.
template <typename T>
constexpr T shl(T v, unsigned n) noexcept
{
    return n >= sizeof(T) * 8 ? T{0} : static_cast<T>(v << n);
}
template <typename T>
constexpr T shr(T v, unsigned n) noexcept
{
    return n >= sizeof(T) * 8 ? T{0} : static_cast<T>(v >> n);
}

// The log's position in sectors relative to the filesystem's start: the high block-number bits are
// the allocation group, the low `agblklog` bits the block within it.
constexpr sector_extent log_sectors(const log_fields &f) noexcept
{
    unsigned s = f.blocklog >= 9 ? f.blocklog - 9u : 64u;
    std::uint32_t mask = shl<std::uint32_t>(1, f.agblklog) - 1u;
    std::uint64_t block = shr(f.logstart, f.agblklog) * f.agblocks + (f.logstart & mask);
    return {shl(block, s), shl<std::uint32_t>(f.logblocks, s)};
}

}  // namespace qv::xfs
