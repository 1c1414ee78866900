// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "qvctl.h"
#include "request_block.h"

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
