// SPDX-License-Identifier: GPL-2.0-or-later
// The logger's state is process-wide and console output can only be switched on, so the whole
// sequence runs in one test, in the order a process lives through it.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qvctl.h"

TEST(Log, ConsoleAndSyslogLevelsThroughALifetime)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    ASSERT_NE(out, nullptr);
    auto text = [&] { return std::fflush(out), std::string(data, size); };
    // setlogmask(0) reads the mask without changing it. Before any init nothing reaches the stream.
    qvctl_log(LOG_ERR, out, "before init %d", 1);
    EXPECT_EQ(text(), "");
    EXPECT_EQ(setlogmask(0), LOG_UPTO(LOG_INFO));

    static int level = LOG_INFO;
    qvctl_log_init(&level);
    EXPECT_EQ(setlogmask(0), 0xFF);
    qvctl_log(LOG_DEBUG, out, "debug line");
    qvctl_log(LOG_NOTICE, out, "notice %s", "line");
    level = LOG_DEBUG;  // a change of the holder reaches the console at once
    qvctl_log(LOG_DEBUG, out, "debug now");
    const std::string longer(300, 'y');
    qvctl_log(LOG_ERR, out, "%s", longer.c_str());
    EXPECT_EQ(text(), "notice line\ndebug now\n" + longer.substr(0, 255) + "\n");

    static int quiet = 0;
    qvctl_log_init(&quiet);
    EXPECT_EQ(setlogmask(0), 0x03);
    qvctl_log(LOG_ERR, out, "error while quiet");
    EXPECT_EQ(text().find("quiet"), std::string::npos);
    std::fclose(out);
    std::free(data);
}
