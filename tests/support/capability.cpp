// SPDX-License-Identifier: GPL-2.0-or-later
#include "capability.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace qvtest {

bool in_ci() { return std::getenv("CI") && std::strcmp(std::getenv("CI"), "true") == 0; }

static bool char_device(const char *path)
{
    struct stat sb;
    return ::stat(path, &sb) == 0 && S_ISCHR(sb.st_mode);
}

std::string missing_root_loop()
{
    return ::geteuid() != 0 ? "root" : !char_device("/dev/loop-control") ? "loop devices (/dev/loop-control)" : "";
}

std::string missing_root_loop_fuse()
{
    std::string m = missing_root_loop();
    return !m.empty() || char_device("/dev/fuse") ? m : "FUSE (/dev/fuse)";
}

}  // namespace qvtest
