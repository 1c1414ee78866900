// SPDX-License-Identifier: LGPL-2.1-or-later
// The first bytes of an xfs superblock as one read returned them; fields beyond what was read are absent.
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"

namespace qv::xfs {

inline constexpr std::size_t off_logstart = 48, off_agblocks = 84, off_logblocks = 96,
                             off_versionnum = 100, off_blocklog = 120, off_agblklog = 124;
inline constexpr std::uint32_t magic = 0x58465342;  // "XFSB"

// A short read carries no superblock: the magic and every field used must lie inside what was read.
inline bool has_magic(bytes sb, std::size_t needed) noexcept
{
    return sb.size() >= needed && try_load_be<std::uint32_t>(sb, 0) == magic;
}

struct log_fields {
    std::uint64_t logstart;
    std::uint32_t agblocks, logblocks;
    std::uint8_t blocklog, agblklog;
};

inline std::optional<log_fields> load_log_fields(bytes sb) noexcept
{
    auto start = try_load_be<std::uint64_t>(sb, off_logstart);
    auto agblocks = try_load_be<std::uint32_t>(sb, off_agblocks);
    auto logblocks = try_load_be<std::uint32_t>(sb, off_logblocks);
    auto blocklog = try_load_be<std::uint8_t>(sb, off_blocklog);
    auto agblklog = try_load_be<std::uint8_t>(sb, off_agblklog);
    if (!start || !agblocks || !logblocks || !blocklog || !agblklog)
        return std::nullopt;
    return log_fields{*start, *agblocks, *logblocks, *blocklog, *agblklog};
}

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
