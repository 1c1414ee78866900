// SPDX-License-Identifier: GPL-2.0-or-later
// The bash completions: what each position of a command line offers.
#include <gtest/gtest.h>

#include <string>

#include "shell.h"

namespace {

// The completions that `program`'s script offers for the last word of `line` (a trailing space
// means a new, empty word).
std::string complete(const std::string &program, const std::string &line)
{
    const std::string script = std::string(QV_SOURCE_DIR) + "/completion/" + program;
    auto r = qvtest::sh("bash -c 'source \"$0\"; read -ra COMP_WORDS <<<\"$1\"; [ \"${1: -1}\" = \" \" ] && "
                        "COMP_WORDS+=(\"\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _" + program +
                        "; echo \"${COMPREPLY[*]}\"' '" + script + "' '" + line + "'");
    return qvtest::trimmed(r.out);
}

}  // namespace

TEST(Completion, QvctlOffersCommandsOptionsKindsAndDevices)
{
    struct completion_case {
        const char *line, *expect;
    };
    const completion_case cases[] = {
        {"qvctl sn", "snapshot"},
        {"qvctl --quiet store re", "reset register"},
        {"qvctl store register ", "changelog data metadata"},
        {"qvctl store unmap ", "data"},
        {"qvctl store register metadata /dev/x --o", "--opt"},
        {"qvctl store register data /dev/x --method f", "fiemap fibmap"},
        {"qvctl snapshot start /dev/x --f", "--flags"},
        {"qvctl --js", "--json"},
        {"qvctl list ", ""},
        {"qvctl attach /dev/x ", ""},
    };
    for (const completion_case &c : cases)
        EXPECT_EQ(complete("qvctl", c.line), c.expect) << c.line;
    // Device arguments offer block devices only: /dev/null is a character device.
    EXPECT_EQ(complete("qvctl", "qvctl attach /dev/nul"), "");
    EXPECT_EQ(complete("qvctl", "qvctl --json changelog show /dev/nul"), "");
    const std::string block =
        qvtest::trimmed(qvtest::sh("for d in /dev/*; do [ -b \"$d\" ] && echo \"$d\" && break; done").out);
    if (!block.empty()) {
        const std::string offered = complete("qvctl", "qvctl restore /dev/x " + block);
        EXPECT_EQ(offered.rfind(block, 0), 0u) << offered;
    }
}

TEST(Completion, QvsnapOffersOptionsThenADeviceThenAFile)
{
    EXPECT_EQ(complete("qvsnap", "qvsnap --incr"), "--incremental");
    EXPECT_EQ(complete("qvsnap", "qvsnap -w 4 /dev/nul"), "");
    EXPECT_EQ(complete("qvsnap", "qvsnap -i /dev/x /dev/nul"), "/dev/null");
    EXPECT_EQ(complete("qvsnap", "qvsnap -i /dev/x /dev/y /dev/nul"), "");
}
