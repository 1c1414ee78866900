// SPDX-License-Identifier: GPL-2.0-or-later
// A shell command's standard output, for the daemon and the command line alike.
#pragma once

#include <cstdio>
#include <string>

namespace qvsim {

inline std::string run_out(const std::string &cmd)
{
    std::string out;
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

}  // namespace qvsim
