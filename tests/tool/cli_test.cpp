// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of the real program: one case of each way a line is refused or ended early, with
// its status and stream. None of these runs reaches a snapshot device or creates the output.
#include <gtest/gtest.h>

#include <string>

#include "shell.h"
#include "temp_dir.h"

namespace {

const std::string bin = QVSNAP_BIN;

TEST(Cli, StatusesStreamsAndMessages)
{
    qvtest::temp_dir dir;
    const std::string file = dir.write("plain", "x"), none = dir.file("none"), out = dir.file("image");
    const std::string usage = "Usage: qvsnap [OPTION] [DEVICE] [FILE]\n";
    struct case_ {
        std::string args;
        int status;
        std::string out, err;  // both exact, but err only its start when it ends with the usage
    };
    const case_ cases[] = {
        {"-c --no-such-option a b c", 0, "2\n", ""},  // an information option ends the run at once
        {"--ver a b", 22, "", bin + ": "},            // --verbose or --version
        {"a b c", 22, "", "ERROR: unexpected number of arguments\n" + usage},
        {"-w 0 a b", 34, "", "ERROR: --workers must be greater or equal to 1\n" + usage},
        {file + " " + out, 15, "", file + ": not a block device\n"},
        {"--qu " + none + " " + out, 2, "", ""},
    };
    for (const case_ &c : cases) {
        auto o = qvtest::sh(bin + " " + c.args + " 2>/dev/null");
        auto e = qvtest::sh(bin + " " + c.args + " 2>&1 >/dev/null");
        EXPECT_EQ(o.status, c.status) << c.args;
        EXPECT_EQ(e.status, c.status) << c.args;
        EXPECT_EQ(o.out, c.out) << c.args;
        if (c.status == 22 || c.status == 34) {
            EXPECT_EQ(e.out.rfind(c.err, 0), 0u) << c.args << e.out;
            EXPECT_TRUE(e.out.ends_with("For more information see " + bin + "(8).\n")) << c.args << e.out;
        } else {
            EXPECT_EQ(e.out, c.err) << c.args;
        }
    }
    EXPECT_EQ(qvtest::sh("test -e " + out).status, 1) << "the output was created before the source was known";
}

}  // namespace
