// SPDX-License-Identifier: LGPL-2.1-or-later
// The status record that every operation reports through, and the logger that only the programs use.
#include <syslog.h>

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

namespace {

int default_log_level = LOG_INFO;
int *log_level_holder = &default_log_level;
bool log_console_off = true;
bool log_opened = false;

}  // namespace

extern "C" void qvctl_log_init(int *level)
{
    int l = *level;
    log_level_holder = level;
    if (LOG_PRI(l) < LOG_DEBUG)
        l += 1;
    setlogmask(LOG_UPTO(l));
    log_console_off = false;
}

extern "C" void qvctl_log(int level, FILE *stream, const char *fmt, ...)
{
    if (!log_opened) {
        openlog("qvctl", LOG_PID, LOG_LOCAL6);
        log_opened = true;
        if (log_console_off)
            setlogmask(LOG_UPTO(LOG_PRI(*log_level_holder)));
    }
    char buffer[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    va_end(ap);
    syslog(level, "%s", buffer);
    if (!log_console_off && LOG_PRI(*log_level_holder) >= level)
        std::fprintf(stream, "%s\n", buffer);
}
