// SPDX-License-Identifier: LGPL-2.1-or-later
#include <sys/stat.h>
#include <unistd.h>

#include "qvctl_internal.h"
#include "snapshot_freeze.h"

namespace {

constexpr int type_probes = 6, node_checks = 5;
constexpr useconds_t step_us = 500 * 1000;

}  // namespace

extern "C" int snapshot_request_frozen(uint32_t code, void *block, const char *path, qvctl_status *st)
{
    const bool frozen = fs_snapshot_frozen(path, fs_type_detect(path), st);
    if (frozen)
        if (int r = fs_freeze(path, st))
            return r;
    int r = qvctl_ioctl(code, block, path, st);
    if (frozen)
        fs_thaw(path, st);
    return r;
}

extern "C" int wait_fs_type(const char *dev_path)
{
    for (int i = 0; i < type_probes; ++i) {
        if (char type[32]; qv::fs_type_name_probe(dev_path, type))
            return 1;
        usleep(step_us);
    }
    return 0;
}

extern "C" int wait_device_node(const char *snap_path, uint32_t type, qvctl_status *st)
{
    bool found = wait_fs_type(snap_path);
    if (type == FS_TYPE_BTRFS && !found)
        return qvctl_status_set(st, QVCTL_ETIMEDOUT, "ERROR: Waited for device %s for too long", snap_path);
    struct stat sb;
    for (int i = 0; i < node_checks; ++i) {
        if (::stat(snap_path, &sb) == 0)
            return 0;
        usleep(step_us);
    }
    return qvctl_status_set(st, QVCTL_ETIMEDOUT, "ERROR: Waited for device %s for too long", snap_path);
}
