#include "fs/sysfs_attr.h"

#include <libgen.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "heap_block.h"

namespace qv {

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
    std::snprintf(path, sizeof path, "%s/%s/%s", root, base, attr);
    unique_file file(std::fopen(path, "r"));
    if (!file) {
        // Not a whole disk: look for the partition below its disk.
        std::string disk(sysfs_disk_name(base));
        if (disk.empty())
            return qvctl_status_set(st, ENOENT, "Could not determine a major number for device \"%s\"", base);
        std::snprintf(path, sizeof path, "%s/%s/%s/%s", root, disk.c_str(), base, attr);
        file.reset(std::fopen(path, "r"));
        if (!file) {
            int err = errno;
            return qvctl_status_set(st, err, "Could not find a field \"%s\" for  device \"%s\" (%s): %s", attr,
                                    base, path, std::strerror(err));
        }
    }
    uint64_t value;
    if (std::fscanf(file.get(), "%" SCNu64, &value) == 1)
        *out = value;
    return 0;
}

}  // namespace qv

extern "C" int sysfs_block_attr_read(const char *device, const char *attr, uint64_t *out, qvctl_status *st)
{
    return qv::sysfs_block_attr_read_at("/sys/block", device, attr, out, st);
}
