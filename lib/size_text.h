// SPDX-License-Identifier: LGPL-2.1-or-later
// Byte counts as people write them on a command line: 4096, 512K, 32M, 2G, 1T.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace qv {

struct size_suffix {
    char letter;
    unsigned shift;
};

inline constexpr size_suffix size_suffixes[] = {{'K', 10}, {'M', 20}, {'G', 30}, {'T', 40}};

// Decimal digits and at most one suffix of either case; false for anything else, a sign or a
// count beyond 64 bits included, with `out` untouched.
inline bool size_parse(const char *text, std::uint64_t &out) noexcept
{
    if (!text || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    unsigned shift = 0;
    if (*end && !end[1])
        for (const size_suffix &s : size_suffixes)
            if ((*end & ~0x20) == s.letter) {
                shift = s.shift;
                ++end;
            }
    if (errno || *end || v > (std::numeric_limits<std::uint64_t>::max() >> shift))
        return false;
    out = static_cast<std::uint64_t>(v) << shift;
    return true;
}

}  // namespace qv
