// SPDX-License-Identifier: LGPL-2.1-or-later
// Requests without a payload of their own: detach, dump, reset; and restore with its second path.
#include <cerrno>
#include <cstring>

#include "qvctl.h"
#include "request_block.h"

namespace {

int simple_request(uint32_t code, const char *path, const char *what, qvctl_status *st)
{
    qv::request_block block;
    if (int r = qv::request_open(block, path, qv::req::min_size, what, st))
        return r;
    return qvctl_ioctl(code, block.get(), path, st);
}

}  // namespace

extern "C" uint32_t qvctl_device_detach(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_DETACH, path, "detach", st);
}

extern "C" uint32_t qvctl_kernel_dump(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_DUMP, path, "dump kernel structures for", st);
}

extern "C" uint32_t qvctl_device_reset(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_RESET, path, "reset", st);
}

extern "C" uint32_t qvctl_device_restore(const char *device, const char *target, qvctl_status *st)
{
    if (int r = qvctl_path_check(device, st))
        return r;
    if (int r = qvctl_path_check(target, st))
        return r;
    auto block = qv::request_new(qv::req::min_size, device);
    if (!block)
        return qvctl_status_set(st, errno, "ERROR: Insufficient memory to restore %s", target);
    std::strncpy(reinterpret_cast<char *>(block.data.get() + qv::req::restore::second_path), target,
                 qv::req::device_width);
    return qvctl_ioctl(QVCTL_REQ_RESTORE, block.get(), target, st);
}
