// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstdio>

#include "qvctl_internal.h"
#include "request_block.h"
#include "snapshot_freeze.h"

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
