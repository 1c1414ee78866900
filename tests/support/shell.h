// SPDX-License-Identifier: GPL-2.0-or-later
// Running the system's commands from tests.
#pragma once

#include <string>

namespace qvtest {

struct run_result {
    int status = -1;  // exit status, or -1 when the command could not run or was killed
    std::string out;  // standard output and standard error together
};

// Runs `command` with /bin/sh -c.
run_result sh(const std::string &command);
// Runs it and fails the current test when it does not exit 0; answers its output.
std::string sh_ok(const std::string &command);
// `s` without trailing newlines and spaces.
std::string trimmed(std::string s);

}  // namespace qvtest
