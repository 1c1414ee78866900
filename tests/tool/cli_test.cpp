// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of the real program: exit statuses, which stream gets what, cut arguments and
// abbreviated long options. None of these runs reaches a snapshot device.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "shell.h"
#include "temp_dir.h"

namespace {

const std::string bin = QVSNAP_BIN;

TEST(Cli, StatusesStreamsAndMessages)
{
    qvtest::temp_dir dir;
    const std::string file = dir.write("plain", "x"), none = dir.file("none"), out = dir.file("image");
    const std::string longer = "/" + std::string(140, 'd');
    const std::string usage = "Usage: qvsnap [OPTION] [DEVICE] [FILE]\n";
    const std::string see = "For more information see " + bin + "(8).\n";
    const std::string count = "ERROR: unexpected number of arguments\n" + usage;
    const std::string workers = "ERROR: --workers must be greater or equal to 1\n" + usage;
    struct case_ {
        std::string args;
        int status;
        std::string out, err;  // out exact; err: its start, or "" for none at all
        bool usage_in_err = false;
    };
    const case_ cases[] = {
        // Information options end the run at once; the first one wins; unique abbreviations count.
        {"-c --no-such-option a b c", 0, "2\n", ""},
        {"/dev/none out -c -h", 0, "2\n", ""},
        {"--cli", 0, "2\n", ""},
        {"-h one two three", 0, "<usage>", ""},
        {"--hel", 0, "<usage>", ""},
        // --ver could be --verbose or --version.
        {"--ver a b", 22, "", bin + ": ", true},
        {"--bogus a b", 22, "", bin + ": ", true},
        {"-x a b", 22, "", bin + ": ", true},
        {"a b -w", 22, "", bin + ": ", true},
        // The count is tested before the workers.
        {"/dev/one", 22, "", count, true},
        {"a b c", 22, "", count, true},
        {"-w 0 /dev/one", 22, "", count, true},
        {"-w 0 a b", 34, "", workers, true},
        {"--workers abc a b", 34, "", workers, true},
        {"-w -3 a b", 34, "", workers, true},
        {file + " " + out, 15, "", file + ": not a block device\n"},
        {none + " " + out, 2, "", "stat failed on " + none + "\n"},
        {"--quiet " + none + " " + out, 2, "", ""},
        {"--qu " + none + " " + out, 2, "", ""},
        {longer + " out", 2, "", "stat failed on " + longer.substr(0, 128) + "\n"},  // cut to 128
    };
    for (const case_ &c : cases) {
        auto o = qvtest::sh(bin + " " + c.args + " 2>/dev/null");
        auto e = qvtest::sh(bin + " " + c.args + " 2>&1 >/dev/null");
        EXPECT_EQ(o.status, c.status) << c.args;
        EXPECT_EQ(e.status, c.status) << c.args;
        if (c.out == "<usage>") {
            EXPECT_EQ(o.out.rfind(usage, 0), 0u) << c.args << o.out;
            EXPECT_TRUE(o.out.ends_with(see)) << c.args << o.out;
        } else {
            EXPECT_EQ(o.out, c.out) << c.args;
        }
        if (c.usage_in_err) {
            EXPECT_EQ(e.out.rfind(c.err, 0), 0u) << c.args << e.out;
            EXPECT_TRUE(e.out.ends_with(see)) << c.args << e.out;
        } else {
            EXPECT_EQ(e.out, c.err) << c.args;
        }
    }
    EXPECT_TRUE(std::regex_match(qvtest::sh(bin + " --version").out,
                                 std::regex(R"(qvsnap version \d+\.\d+\.\d+\.\d+ release-\d+\.\d+\.\d+ \S+\n)")));
    EXPECT_EQ(qvtest::sh("test -e " + out).status, 1) << "the output was created before the source was known";
}

}  // namespace
