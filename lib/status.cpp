// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cstdarg>
#include <cstdio>

#include "qvctl.h"

extern "C" int qvctl_status_set(qvctl_status *st, int code, const char *fmt, ...)
{
    if (!st)
        return code;
    st->code = static_cast<uint32_t>(code);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(st->message, sizeof st->message, fmt, ap);
    va_end(ap);
    return code;
}
