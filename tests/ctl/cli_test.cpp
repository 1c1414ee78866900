// SPDX-License-Identifier: GPL-2.0-or-later
// The command line itself: help on every level, usage errors, option values. None of these runs
// sends a request: what passes the parser meets a device that does not exist.
#include <gtest/gtest.h>

#include <string>

#include "shell.h"

namespace {

const std::string bin = QVCTL_BIN;

qvtest::run_result out_only(const std::string &args) { return qvtest::sh(bin + " " + args + " 2>/dev/null"); }
qvtest::run_result err_only(const std::string &args) { return qvtest::sh(bin + " " + args + " 2>&1 >/dev/null"); }

TEST(QvctlCli, UsageErrorsSay22AndWhatWasWrongOnStandardError)
{
    struct usage_case {
        const char *args, *message;
    };
    const usage_case cases[] = {
        {"", "ERROR: qvctl needs a command"},
        {"snapshot", "ERROR: qvctl snapshot needs a command"},
        {"frobnicate", "ERROR: unknown command \"frobnicate\""},
        {"attach", "ERROR: qvctl attach takes 1 argument, 0 given"},
        {"restore /dev/a", "ERROR: qvctl restore takes 2 arguments, 1 given"},
        {"attach /dev/a --force", "ERROR: unknown option --force"},
        {"snapshot start /dev/a --flags", "ERROR: option --flags needs a value"},
        {"snapshot start /dev/a --flags 256", "ERROR: --flags must be a number from 0 to 255, not \"256\""},
        {"store create data /dev/a --size 3Q", "ERROR: --size must be a byte count"},
        {"store create data /dev/a --percent 100", "ERROR: --percent must be from 0 (the default, 15) to below 100"},
        {"store register data /dev/a --chunk 1000", "ERROR: --chunk must be a multiple of 512 up to 2147483136"},
        {"store register data /dev/a --chunk 2G", "ERROR: --chunk must be a multiple of 512"},
        {"store create changelog /dev/a --size 1M", "ERROR: --size and --percent apply to the data store only"},
        {"store create metadata /dev/a", "ERROR: the store must be changelog or data, not \"metadata\""},
        {"store register data /dev/a --method magic", "ERROR: --method must be auto, fiemap, fibmap or kernel"},
        {"store register data /dev/a --opt", "ERROR: --opt applies to the metadata store only"},
        {"store reset data /dev/a", "ERROR: only the changelog store can be reset"},
        {"store unmap changelog /dev/a", "ERROR: only the data store can be unmapped"},
        {"backup /dev/a img -w 0", "ERROR: --workers must be greater or equal to 1"},
        {"--json attach /dev/a", "ERROR: qvctl attach has no JSON output"},
        {"snapshot get /dev/a --json", "ERROR: qvctl snapshot get has no JSON output"},
    };
    for (const usage_case &c : cases) {
        auto err = err_only(c.args);
        EXPECT_EQ(err.status, 22) << c.args;
        // One line of diagnosis, then the pointer to the help; no help text.
        EXPECT_EQ(err.out.rfind(c.message, 0), 0u) << c.args << ": " << err.out;
        EXPECT_EQ(err.out.substr(err.out.find('\n') + 1), "Try 'qvctl --help' for more information.\n") << c.args;
        EXPECT_EQ(out_only(c.args).out, "") << c.args;
    }
}

TEST(QvctlCli, WellFormedValuesAndLevelOptionsPassTheParser)
{
    // The library refuses the missing device, with a message even under --quiet, and no usage hint.
    for (const char *args :
         {"store create data /nonexistent/dev --size=4096", "store create data /nonexistent/dev --size 512K",
          "store create data /nonexistent/dev --size=32m", "store create data /nonexistent/dev --size 2G",
          "store create data /nonexistent/dev --percent 0", "store register data /nonexistent/dev --chunk 1536",
          "info /nonexistent/dev --quiet", "--debug info /nonexistent/dev"}) {
        auto r = err_only(args);
        EXPECT_NE(r.status, 22) << args << ": " << r.out;
        EXPECT_NE(r.status, 0) << args;
        EXPECT_NE(r.out, "") << args;
        EXPECT_EQ(r.out.find("Try 'qvctl --help'"), std::string::npos) << args << ": " << r.out;
    }
}

TEST(QvctlCli, HelpAndVersionOnEveryLevelGoToStandardOutputWithZero)
{
    for (const char *args : {"--help", "snapshot --help", "store -h", "store register --help", "list --help"}) {
        auto r = out_only(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out.rfind("Usage: qvctl", 0), 0u) << args << ": " << r.out;
    }
    const std::string expected = out_only("version").out;
    EXPECT_EQ(expected.rfind("qvctl version ", 0), 0u) << expected;
    EXPECT_NE(expected.find("\nlibqvctl version: "), std::string::npos) << expected;
    for (const char *args : {"-V", "--version", "--quiet --version", "list -V", "store extents data /dev/a --version"}) {
        auto r = out_only(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, expected) << args;
    }
}

}  // namespace
