// SPDX-License-Identifier: LGPL-2.1-or-later
// Completing and cancelling differ only in the cancel byte.
#include <cerrno>

#include "qvctl_internal.h"
#include "request_block.h"
#include "snapshot_freeze.h"

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
