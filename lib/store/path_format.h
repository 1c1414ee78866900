// SPDX-License-Identifier: LGPL-2.1-or-later
// Paths formatted into fixed buffers: a path too long for its buffer is cut at the buffer's end,
// and the cut path then simply fails to name a file.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace qv {

__attribute__((format(printf, 3, 4))) inline void path_format(char *out, std::size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(out, size, fmt, ap);
    va_end(ap);
}

}  // namespace qv
