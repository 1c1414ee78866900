// SPDX-License-Identifier: GPL-2.0-or-later
// The command line itself: one case of each way the parser refuses a line, and help. None of these
// runs sends a request: what passes the parser meets a device that does not exist.
#include <gtest/gtest.h>

#include <string>

#include "shell.h"

namespace {

const std::string bin = QVCTL_BIN;

TEST(QvctlCli, UsageErrorsSay22AndWhatWasWrongOnStandardErrorOnly)
{
    struct usage_case {
        const char *args, *message;
    };
    const usage_case cases[] = {
        {"", "ERROR: qvctl needs a command"},
        {"frobnicate", "ERROR: unknown command \"frobnicate\""},
        {"restore /dev/a", "ERROR: qvctl restore takes 2 arguments, 1 given"},
        {"attach /dev/a --force", "ERROR: unknown option --force"},
        {"snapshot start /dev/a --flags", "ERROR: option --flags needs a value"},
        {"snapshot start /dev/a --flags 256", "ERROR: --flags must be a number from 0 to 255, not \"256\""},
        {"store create changelog /dev/a --size 1M", "ERROR: --size and --percent apply to the data store only"},
        {"store reset data /dev/a", "ERROR: only the changelog store can be reset"},
        {"snapshot get /dev/a --json", "ERROR: qvctl snapshot get has no JSON output"},
    };
    for (const usage_case &c : cases) {
        auto err = qvtest::sh(bin + " " + std::string(c.args) + " 2>&1 >/dev/null");
        EXPECT_EQ(err.status, 22) << c.args;
        EXPECT_EQ(err.out.rfind(c.message, 0), 0u) << c.args << ": " << err.out;
        EXPECT_EQ(err.out.substr(err.out.find('\n') + 1), "Try 'qvctl --help' for more information.\n") << c.args;
        EXPECT_EQ(qvtest::sh(bin + " " + std::string(c.args) + " 2>/dev/null").out, "") << c.args;
    }
    auto help = qvtest::sh(bin + " store register --help 2>/dev/null");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: qvctl", 0), 0u) << help.out;
}

}  // namespace
