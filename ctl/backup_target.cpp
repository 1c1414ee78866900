// SPDX-License-Identifier: GPL-2.0-or-later
// The target refused up front, before a snapshot exists: a repository on the device being backed
// up would copy itself and fill the device.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "backup_checks.h"
#include "path_format.h"
#include "qvctl_internal.h"

namespace qvctl_cli {

namespace {

std::string sysfs_node(dev_t dev)
{
    std::string link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    char real[PATH_MAX];
    return ::realpath(link.c_str(), real) ? std::string(real) : "";
}

}  // namespace

// A partition's sysfs node lies under its disk's.
bool lies_on(dev_t on, dev_t device)
{
    if (on == device)
        return true;
    std::string part = sysfs_node(on), whole = sysfs_node(device);
    return !part.empty() && !whole.empty() && qv::folder_of(part) == whole;
}

int backup_target_check(const char *device, const char *repo, qvctl_status &st)
{
    struct stat dev;
    if (::stat(device, &dev) != 0 || !S_ISBLK(dev.st_mode))
        return 0;  // the run's own checks name what is wrong with it
    struct stat where {};
    // A repository still to be made lies where its folder will be.
    if (::stat(repo, &where) != 0 && ::stat(qv::folder_of(repo).c_str(), &where) != 0)
        return 0;
    if (lies_on(where.st_dev, dev.st_rdev))
        return qvctl_status_set(&st, EINVAL, "ERROR: %s lies on %s, the device being backed up", repo, device);
    return 0;
}

}  // namespace qvctl_cli
