// SPDX-License-Identifier: LGPL-2.1-or-later
// Requests without a payload of their own: detach, dump, reset; and restore with its second path.
#include <cerrno>
#include <cstring>

#include "qvctl.h"
#include "request_block.h"

namespace {

// `nomem` is the text before the path in the message for a block that can't be allocated.
uint32_t simple_request(uint32_t code, const char *path, const char *nomem, qvctl_status *st)
{
    if (uint32_t r = qvctl_path_check(path, st))
        return r;
    auto block = qv::request_new(qv::req::min_size, path);
    if (!block)
        return static_cast<uint32_t>(qvctl_status_set(st, errno, "%s%s", nomem, path));
    return qvctl_ioctl(code, block.get(), path, st);
}

}  // namespace

extern "C" uint32_t qvctl_device_detach(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_DETACH, path, "ERROR: Insufficient memory to detach ", st);
}

extern "C" uint32_t qvctl_kernel_dump(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_DUMP, path, "ERROR: Insufficient memory to dump kernel structures for ", st);
}

extern "C" uint32_t qvctl_device_reset(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_RESET, path, "ERROR: Insufficient memory to reset ", st);
}

extern "C" uint32_t qvctl_device_restore(const char *device, const char *target, qvctl_status *st)
{
    if (uint32_t r = qvctl_path_check(device, st))
        return r;
    if (uint32_t r = qvctl_path_check(target, st))
        return r;
    auto block = qv::request_new(qv::req::min_size, device);
    if (!block)
        return static_cast<uint32_t>(qvctl_status_set(st, errno, "ERROR: Insufficient memory to restore %s", target));
    std::strncpy(reinterpret_cast<char *>(block.data.get() + qv::req::restore::second_path), target,
                 qv::req::device_width);
    return qvctl_ioctl(QVCTL_REQ_RESTORE, block.get(), target, st);
}
