// SPDX-License-Identifier: GPL-2.0-or-later
#include "shell.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

namespace qvtest {

run_result sh(const std::string &command)
{
    run_result r;
    std::string full = "( " + command + " ) 2>&1";
    FILE *p = ::popen(full.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        r.out.append(buf, n);
    int w = ::pclose(p);
    r.status = (w != -1 && WIFEXITED(w)) ? WEXITSTATUS(w) : -1;
    return r;
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string sh_ok(const std::string &command)
{
    run_result r = sh(command);
    EXPECT_EQ(r.status, 0) << command << "\n" << r.out;
    return r.out;
}

}  // namespace qvtest
