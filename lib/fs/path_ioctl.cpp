// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/path_ioctl.h"

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
