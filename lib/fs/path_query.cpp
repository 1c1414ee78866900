// SPDX-License-Identifier: LGPL-2.1-or-later
// Queries through a path opened for them alone.
#include "fs/path_query.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "unique_fd.h"

extern "C" int path_ioctl(const char *path, unsigned long request, void *arg)
{
    if (!path)
        return EINVAL;
    qv::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errno;
    return ::ioctl(fd.get(), request, arg) == -1 ? errno : 0;
}

extern "C" int fs_statfs(const char *path, struct statfs *out, qvctl_status *st)
{
    if (!path || !out)
        return qvctl_status_set(st, EINVAL, "ERROR: path and record in %s() should not be NULL", __func__);
    qv::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return qvctl_status_set(st, errno, "ERROR: failed to open %s", path);
    struct statfs sb;
    if (::fstatfs(fd.get(), &sb) != 0)
        return qvctl_status_set(st, errno, "ERROR: failed statfs on %s", path);
    *out = sb;
    return 0;
}
