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

// What a word offers depends on what stands before it: level options, the command, the store kind,
// and which arguments take block devices only (/dev/null is a character device).
TEST(Completion, OffersDependOnThePosition)
{
    struct completion_case {
        const char *program, *line, *expect;
    };
    const completion_case cases[] = {
        {"qvctl", "qvctl --quiet store re", "reset register"},
        {"qvctl", "qvctl store register data /dev/x --method f", "fiemap fibmap"},
        {"qvctl", "qvctl attach /dev/nul", ""},
        {"qvctl", "qvctl --json changelog show /dev/nul", ""},
        {"qvsnap", "qvsnap -i /dev/x /dev/nul", "/dev/null"},
        {"qvsnap", "qvsnap -i /dev/x /dev/y /dev/nul", ""},
    };
    for (const completion_case &c : cases)
        EXPECT_EQ(complete(c.program, c.line), c.expect) << c.line;
    const std::string block =
        qvtest::trimmed(qvtest::sh("for d in /dev/*; do [ -b \"$d\" ] && echo \"$d\" && break; done").out);
    if (!block.empty()) {
        EXPECT_EQ(complete("qvctl", "qvctl restore /dev/x " + block).rfind(block, 0), 0u);
    }
}
