// SPDX-License-Identifier: LGPL-2.1-or-later
// Completing and cancelling differ only in the cancel byte.
#include <cerrno>

#include "qvctl_internal.h"
#include "request_block.h"
#include "snapshot_freeze.h"

namespace {

uint32_t snapshot_end(const char *path, uint8_t cancel, const char *nomem, qvctl_status *st)
{
    if (uint32_t r = qvctl_path_check(path, st))
        return r;
    auto block = qv::request_new(qv::req::min_size, path);
    if (!block)
        return static_cast<uint32_t>(qvctl_status_set(st, errno, "%s%s", nomem, path));
    block.span()[qv::req::snapshot_complete::cancel] = cancel;
    return snapshot_request_frozen(QVCTL_REQ_SNAPSHOT_COMPLETE, block.get(), path, st);
}

}  // namespace

extern "C" uint32_t qvctl_snapshot_complete(const char *path, qvctl_status *st)
{
    return snapshot_end(path, 0, "ERROR: Insufficient memory to complete snapshot of ", st);
}

extern "C" uint32_t qvctl_snapshot_cancel(const char *path, qvctl_status *st)
{
    return snapshot_end(path, 1, "ERROR: Insufficient memory to cancel snapshot of ", st);
}
