// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/sysfs_attr.h"

#include <libgen.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "heap_block.h"
#include "path_format.h"

namespace qv {

namespace {

bool is_dir(const char *path)
{
    struct stat sb;
    return ::stat(path, &sb) == 0 && S_ISDIR(sb.st_mode);
}

// Names whose disk part holds digits (loop8p2, nvme0n1p1, mmcblk0p1) defeat the cut at the first
// digit; the class entry of a partition links into its disk's folder, whose name is the disk's.
// False when that folder is no disk of root/block (a whole disk's class entry leads to no disk).
bool parent_disk_name(const char *root, const char *base, char (&disk)[NAME_MAX + 1])
{
    char path[4096], parent[PATH_MAX];
    if (qv::path_format(path, sizeof path, nullptr, "%s/class/block/%s/..", root, base) || !::realpath(path, parent))
        return false;
    const char *name = ::basename(parent);
    if (qv::path_format(path, sizeof path, nullptr, "%s/block/%s", root, name) || !is_dir(path))
        return false;
    std::snprintf(disk, sizeof disk, "%s", name);
    return true;
}

bool read_number(std::FILE *file, uint64_t &out)
{
    uint64_t value;
    if (std::fscanf(file, "%" SCNu64, &value) != 1)
        return false;
    out = value;
    return true;
}

}  // namespace

int sysfs_block_attr_read_at(const char *root, const char *device, const char *attr, uint64_t *out,
                             qvctl_status *st)
{
    if (!root || !device || !attr || !out)
        return qvctl_status_set(st, EINVAL, "ERROR: arguments of %s() should not be NULL", __func__);
    char resolved[PATH_MAX];
    if (!::realpath(device, resolved))
        return qvctl_status_set(st, errno, "Could not resolve path \"%s\"", device);
    const char *base = ::basename(resolved);

    char path[4096];
    if (int r = qv::path_format(path, sizeof path, st, "%s/block/%s/%s", root, base, attr))
        return r;
    unique_file file(std::fopen(path, "re"));
    if (!file) {
        // Not a whole disk: look for the partition below its disk.
        const std::string_view cut = sysfs_disk_name(base);
        if (cut.empty())
            return qvctl_status_set(st, ENOENT, "Could not determine a major number for device \"%s\"", base);
        char disk[NAME_MAX + 1];
        std::snprintf(disk, sizeof disk, "%.*s", static_cast<int>(cut.size()), cut.data());
        if (qv::path_format(path, sizeof path, nullptr, "%s/block/%s", root, disk) || !is_dir(path))
            parent_disk_name(root, base, disk);
        if (int r = qv::path_format(path, sizeof path, st, "%s/block/%s/%s/%s", root, disk, base, attr))
            return r;
        file.reset(std::fopen(path, "re"));
        if (!file) {
            int err = errno;
            return qvctl_status_set(st, err, "Could not find a field \"%s\" for  device \"%s\" (%s): %s", attr,
                                    base, path, std::strerror(err));
        }
    }
    read_number(file.get(), *out);
    return 0;
}

bool sysfs_class_attr_read(const char *root, const char *device, const char *attr, uint64_t &out)
{
    char resolved[PATH_MAX], path[4096];
    if (!root || !device || !attr || !::realpath(device, resolved))
        return false;
    if (qv::path_format(path, sizeof path, nullptr, "%s/class/block/%s/%s", root, ::basename(resolved), attr))
        return false;
    unique_file file(std::fopen(path, "re"));
    return file && read_number(file.get(), out);
}

}  // namespace qv

extern "C" int sysfs_block_attr_read(const char *device, const char *attr, uint64_t *out, qvctl_status *st)
{
    return qv::sysfs_block_attr_read_at(qv::sysfs_root, device, attr, out, st);
}
