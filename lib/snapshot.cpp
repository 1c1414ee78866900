// SPDX-License-Identifier: LGPL-2.1-or-later
// Snapshots: taking one (frozen where the filesystem needs it, then waiting for its device), ending
// it, and finding its device.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "qvctl_internal.h"
#include "request_block.h"
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

namespace ss = qv::req::snapshot_start;

extern "C" uint32_t qvctl_snapshot_start(const char *path, char *snap_path, uint8_t flags, qvctl_status *st)
{
    char own[4096];
    char *out = snap_path ? snap_path : own;
    qv::request_block block;
    if (int r = qv::request_open(block, path, qv::req::min_size, "start snapshot of", st))
        return r;
    block.span()[ss::flag] = flags;
    if (int r = snapshot_request_frozen(QVCTL_REQ_SNAPSHOT_START, block.get(), path, st))
        return r;
    char name[qv::req::min_size];
    qv::load_text(block.view(), ss::name, block.length - ss::name, name, sizeof name);
    std::snprintf(out, 4096, "/dev/%s", name);
    block.data.reset();
    return wait_device_node(out, fs_type_detect(path), st);
}

// Completing and cancelling differ only in the cancel byte.
namespace {

int snapshot_end(const char *path, uint8_t cancel, const char *what, qvctl_status *st)
{
    qv::request_block block;
    if (int r = qv::request_open(block, path, qv::req::min_size, what, st))
        return r;
    block.span()[qv::req::snapshot_complete::cancel] = cancel;
    return snapshot_request_frozen(QVCTL_REQ_SNAPSHOT_COMPLETE, block.get(), path, st);
}

}  // namespace

extern "C" uint32_t qvctl_snapshot_complete(const char *path, qvctl_status *st)
{
    return snapshot_end(path, 0, "complete snapshot of", st);
}

extern "C" uint32_t qvctl_snapshot_cancel(const char *path, qvctl_status *st)
{
    return snapshot_end(path, 1, "cancel snapshot of", st);
}

extern "C" uint32_t qvctl_snapshot_get(const char *path, char *snap_path, qvctl_status *st)
{
    if (!snap_path)
        return qvctl_status_set(st, EINVAL, "ERROR: snap parameter in %s() should not be NULL", __func__);
    qv::request_block block;
    if (int r = qv::request_open(block, path, qv::req::min_size, "get snapshot device of", st))
        return r;

    int r = qvctl_ioctl(QVCTL_REQ_SNAPSHOT_GET, block.get(), path, st);
    if (r == 0) {
        // The module's name is passed on unread, but never read past the block.
        char name[qv::req::min_size];
        qv::load_text(block.view(), qv::req::snapshot_get::name, block.length - qv::req::snapshot_get::name,
                      name, sizeof name);
        std::snprintf(snap_path, 4096, "/dev/%s", name);
    }
    return r;
}
