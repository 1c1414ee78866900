// SPDX-License-Identifier: GPL-2.0-or-later
// The logger's state is process-wide and console output can only be switched on, so the whole
// sequence runs in one test, in the order a process lives through it.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qvctl.h"

namespace {

struct captured_stream {
    char *data = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&data, &size);
    ~captured_stream()
    {
        if (f)
            std::fclose(f);
        std::free(data);
    }
    std::string text()
    {
        std::fflush(f);
        return std::string(data, size);
    }
};

// setlogmask(0) reads the mask without changing it.
int current_mask() { return setlogmask(0); }

}  // namespace

TEST(Log, ConsoleAndSyslogLevelsThroughALifetime)
{
    captured_stream out;
    ASSERT_NE(out.f, nullptr);

    // Before any init: nothing reaches the stream; syslog keeps 0 to 6.
    qvctl_log(LOG_ERR, out.f, "before init %d", 1);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(current_mask(), LOG_UPTO(LOG_INFO));

    static int level = LOG_INFO;
    qvctl_log_init(&level);
    EXPECT_EQ(current_mask(), 0xFF);
    qvctl_log(LOG_DEBUG, out.f, "debug line");
    EXPECT_EQ(out.text(), "");
    qvctl_log(LOG_NOTICE, out.f, "notice %s", "line");
    EXPECT_EQ(out.text(), "notice line\n");

    // A change of the holder reaches the console at once.
    level = LOG_DEBUG;
    qvctl_log(LOG_DEBUG, out.f, "debug now");
    EXPECT_EQ(out.text(), "notice line\ndebug now\n");

    // Text longer than the line buffer is cut to 255 characters.
    const std::string text(300, 'y');
    qvctl_log(LOG_ERR, out.f, "%s", text.c_str());
    EXPECT_EQ(out.text(), "notice line\ndebug now\n" + text.substr(0, 255) + "\n");

    static int quiet = 0;
    qvctl_log_init(&quiet);
    EXPECT_EQ(current_mask(), 0x03);
    const std::string before = out.text();
    qvctl_log(LOG_ERR, out.f, "error while quiet");
    EXPECT_EQ(out.text(), before);

    static int seven = LOG_DEBUG;
    qvctl_log_init(&seven);
    EXPECT_EQ(current_mask(), 0xFF);
}
