// SPDX-License-Identifier: GPL-2.0-or-later
#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qvtest {

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/qvtest.XXXXXX";
    if (::mkdtemp(tmpl))
        path_ = tmpl;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

std::string temp_dir::write(const std::string &name, const std::string &text) const
{
    std::string p = file(name);
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
    return p;
}

}  // namespace qvtest
