// SPDX-License-Identifier: GPL-2.0-or-later
// Every manual page renders without a warning from man or groff.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "shell.h"

TEST(ManPages, EveryPageRendersWithoutWarnings)
{
    int pages = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::string(QV_SOURCE_DIR) + "/docs")) {
        const std::string ext = entry.path().extension();
        if (ext != ".3" && ext != ".8")
            continue;
        ++pages;
        auto r = qvtest::sh("MANWIDTH=80 man --warnings -l '" + entry.path().string() + "' 2>&1 >/dev/null");
        EXPECT_EQ(r.status, 0) << entry.path();
        EXPECT_EQ(r.out, "") << entry.path();
    }
    EXPECT_GE(pages, 4);
}
