// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "fs/fs_type.h"
#include "fs/mount_table.h"
#include "path_format.h"
#include "store/store_path.h"
#include "unique_fd.h"

static_assert(FS_IOC_SETFLAGS == 0x40086602 && FS_NOCOW_FL == 0x800000);

extern "C" bool device_is_btrfs(const char *device)
{
    return fs_type_detect(device) == FS_TYPE_BTRFS;
}

extern "C" int dir_nocow_set(const char *path, qvctl_status *st)
{
    qv::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return qvctl_status_set(st, errno, "ERROR: Failed to open %s", path);
    // The whole flag word is replaced: a fresh directory has nothing else worth keeping.
    int flags = FS_NOCOW_FL;
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0)
        return qvctl_status_set(st, errno, "ERROR: ioctl FS_IOC_SETFLAGS failed on file %s", path);
    return 0;
}

extern "C" int store_dir_ensure(const char *device, const char *dir, qvctl_status *st)
{
    struct stat sb;
    if (::stat(dir, &sb) != 0) {
        if (::mkdir(dir, 0755) != 0)
            return qvctl_status_set(st, errno, "ERROR: Failed to create dir %s", dir);
        return device_is_btrfs(device) ? dir_nocow_set(dir, st) : 0;
    }
    if (!S_ISDIR(sb.st_mode))
        return qvctl_status_set(st, ENOTDIR, "ERROR: %s is not a directory", dir);
    return 0;
}

extern "C" int store_path_get(const char *device, const char *name, char *out, size_t out_size, char *mount,
                              size_t mount_size, qvctl_status *st)
{
    if (!out || out_size == 0 || !name)
        return qvctl_status_set(st, EINVAL, "ERROR: misusage of %s", __func__);
    char own_mount[STORE_PATH_SIZE];
    if (!mount || mount_size == 0) {
        mount = own_mount;
        mount_size = sizeof own_mount;
    }
    if (int r = mount_point_get(device, mount, mount_size); r != 0)
        return qvctl_status_set(st, r, "ERROR: Failed to find mount point for %s", device);
    char dir[STORE_PATH_SIZE];
    if (int r = qv::path_format(dir, sizeof dir, st, "%s/%s", mount, STORE_DIR_NAME))
        return r;
    if (int r = store_dir_ensure(device, dir, st); r != 0)
        return r;
    return qv::path_format(out, out_size, st, "%s/%s", dir, name);
}
