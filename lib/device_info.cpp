// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstring>

#include "module_answer.h"
#include "qvctl.h"
#include "request_block.h"

static_assert(sizeof(qvctl_device) == qv::req::device_record::size);

extern "C" qvctl_device *qvctl_device_info_get(const char *path, qvctl_status *st)
{
    auto block = qv::request_new(qv::req::min_size);
    if (!block) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for device ioctl");
        return nullptr;
    }
    if (qvctl_path_check(path, st))
        return nullptr;
    std::strncpy(reinterpret_cast<char *>(block.data.get() + qv::req::device), path, qv::req::device_width);
    if (qvctl_ioctl(QVCTL_REQ_DEVICE_INFO, block.get(), path, st))
        return nullptr;
    return qv::answer::device_info_read(block.view(), st);
}
