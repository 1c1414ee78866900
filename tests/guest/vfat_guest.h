// SPDX-License-Identifier: GPL-2.0-or-later
// What the vfat tests share: they need a kernel that mounts vfat, which here only the guest kernel
// of scripts/vm-run is (ctest runs them there, label "guest"), and a vfat made and mounted on a disk
// of the stand-in.
#pragma once

#include <fstream>
#include <string>

#include "capability.h"

namespace guesttest {

inline std::string missing_vfat()
{
    std::string missing = qvtest::missing_root_loop_fuse();
    if (!missing.empty())
        return missing;
    std::ifstream in("/proc/filesystems");
    for (std::string line; std::getline(in, line);)
        if (line.find("\tvfat") != std::string::npos)
            return "";
    return "a kernel that mounts vfat (run it through scripts/vm-run)";
}

}  // namespace guesttest

#define QV_REQUIRE_VFAT() QV_REQUIRE_CAPABILITY(guesttest::missing_vfat())
