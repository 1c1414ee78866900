// SPDX-License-Identifier: LGPL-2.1-or-later
// Paths: formatted into fixed buffers, and taken apart. A path that does not fit is refused, never cut: a cut
// ".../data-12" would name ".../data-1".
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "qvctl.h"

namespace qv {

// 0, or ENAMETOOLONG (also in errno) with `out` emptied and the record naming the path's start.
[[nodiscard]] __attribute__((format(printf, 4, 5))) inline int path_format(char *out, std::size_t size,
                                                                           qvctl_status *st, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(out, size, fmt, ap);
    va_end(ap);
    if (n >= 0 && static_cast<std::size_t>(n) < size)
        return 0;
    int r = qvctl_status_set(st, ENAMETOOLONG, "ERROR: path %.64s... does not fit in %zu characters", out,
                             size ? size - 1 : 0);
    if (size)
        out[0] = '\0';
    errno = ENAMETOOLONG;
    return r;
}

// The folder that holds `path`: "." for a bare name, "/" for a name in the root.
inline std::string folder_of(std::string_view path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return std::string(slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace qv
