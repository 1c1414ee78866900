// SPDX-License-Identifier: GPL-2.0-or-later
// The target refused up front, before a snapshot exists: an image on the device being backed up
// would copy itself and fill the device, and a base without room fails only after the snapshot and
// a long reset.
#include <sys/stat.h>
#include <sys/statvfs.h>
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

using ull = unsigned long long;

std::string sysfs_node(dev_t dev)
{
    std::string link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    char real[PATH_MAX];
    return ::realpath(link.c_str(), real) ? std::string(real) : "";
}

// The filesystem device `on` is the device itself, or a partition of it (its sysfs node lies
// under the device's).
bool lies_on(dev_t on, dev_t device)
{
    if (on == device)
        return true;
    std::string part = sysfs_node(on), whole = sysfs_node(device);
    return !part.empty() && !whole.empty() && qv::folder_of(part) == whole;
}

}  // namespace

int backup_target_check(const char *device, const char *image, bool base, qvctl_status &st)
{
    struct stat dev;
    if (::stat(device, &dev) != 0 || !S_ISBLK(dev.st_mode))
        return 0;  // the run's own checks name what is wrong with it
    const std::string folder = qv::folder_of(image);
    struct stat held {}, where {};
    const bool exists = ::stat(image, &held) == 0;
    if ((exists && lies_on(held.st_dev, dev.st_rdev)) ||
        (::stat(folder.c_str(), &where) == 0 && lies_on(where.st_dev, dev.st_rdev)))
        return qvctl_status_set(&st, EINVAL, "ERROR: %s lies on %s, the device being backed up", image, device);
    if (!base || (exists && !S_ISREG(held.st_mode)))
        return 0;
    qvctl_status probe{};
    const ull needed = device_size_sectors(device, &probe) * 512;
    struct statvfs fs;
    if (probe.code || ::statvfs(folder.c_str(), &fs) != 0)
        return 0;
    const ull holds = exists ? static_cast<ull>(held.st_blocks) * 512 : 0;
    const ull free_bytes = static_cast<ull>(fs.f_bavail) * fs.f_frsize;
    if (needed <= holds || needed - holds <= free_bytes)
        return 0;
    return qvctl_status_set(&st, ENOSPC,
                            "ERROR: no room for a base of %s in %s: it needs %llu bytes, %s already holds %llu, and "
                            "%llu are free",
                            device, folder.c_str(), needed, image, holds, free_bytes);
}

}  // namespace qvctl_cli
