// SPDX-License-Identifier: LGPL-2.1-or-later
// CRC-32C (Castagnoli), the checksum btrfs and xfs keep over their metadata, in its usual form:
// reflected, started from all ones and finished by inverting.
#pragma once

#include <array>
#include <cstdint>

#include "bytes.h"

namespace qv {

namespace detail {
constexpr std::array<std::uint32_t, 256> crc32c_table() noexcept
{
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
        t[i] = c;
    }
    return t;
}
inline constexpr std::array<std::uint32_t, 256> crc32c_entries = crc32c_table();
}  // namespace detail

// The checksum of `data`; passing the checksum of earlier bytes as `crc` continues it over `data`.
constexpr std::uint32_t crc32c(bytes data, std::uint32_t crc = 0) noexcept
{
    crc = ~crc;
    for (std::uint8_t b : data)
        crc = detail::crc32c_entries[(crc ^ b) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

namespace detail {
inline constexpr std::uint8_t crc32c_check_input[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(crc32c(bytes(crc32c_check_input)) == 0xe3069283u, "the standard check value");
static_assert(crc32c(bytes(crc32c_check_input).subspan(4), crc32c(bytes(crc32c_check_input).first(4))) ==
              0xe3069283u);
}  // namespace detail

}  // namespace qv
