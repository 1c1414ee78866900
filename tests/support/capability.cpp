// SPDX-License-Identifier: GPL-2.0-or-later
#include "capability.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace qvtest {

bool in_ci()
{
    const char *ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

static bool char_device(const char *path)
{
    struct stat sb;
    return ::stat(path, &sb) == 0 && S_ISCHR(sb.st_mode);
}

std::string missing_root_loop()
{
    if (::geteuid() != 0)
        return "root";
    if (!char_device("/dev/loop-control"))
        return "loop devices (/dev/loop-control)";
    return {};
}

std::string missing_root_loop_fuse()
{
    std::string m = missing_root_loop();
    if (!m.empty())
        return m;
    if (!char_device("/dev/fuse"))
        return "FUSE (/dev/fuse)";
    return {};
}

}  // namespace qvtest
