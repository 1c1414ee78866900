// SPDX-License-Identifier: LGPL-2.1-or-later
// One request to the module: stat, open, ioctl and close of the control device, unless a handler
// stands in for it.
#include "request_channel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qvctl.h"
#include "unique_fd.h"

namespace {
std::atomic<const qv::request_handler *> handler{nullptr};
}  // namespace

const qv::request_handler *qv::request_channel_set(const request_handler *h) noexcept
{
    return handler.exchange(h, std::memory_order_acq_rel);
}

extern "C" uint32_t qvctl_ioctl(uint32_t code, void *block, const char *device, qvctl_status *st)
{
    if (const qv::request_handler *h = handler.load(std::memory_order_acquire))
        return static_cast<uint32_t>(h->answer(h->ctx, code, block, device, st)) & 255u;
    return static_cast<uint32_t>(qv::request_device_send(code, block, device, st));
}

int qv::request_device_send(uint32_t code, void *block, const char *device, qvctl_status *st)
{
    char path[128];
    std::snprintf(path, sizeof path, "/dev/%s", QVCTL_MODULE_NAME);

    struct stat sb;
    if (::stat(path, &sb) != 0) {
        int e = errno;
        return qvctl_status_set(
            st, e, "failed to open %s. Possible the module is not loaded: %s", path, std::strerror(e));
    }
    qv::unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int e = errno;
        return qvctl_status_set(st, e, "failed to open %s: %s", path, std::strerror(e));
    }
    int result = 0;
    if (::ioctl(fd.get(), static_cast<unsigned long>(code), block) == -1)
        result = qvctl_error_translate(st, errno, device);
    return static_cast<int>(result & 255u);
}
