// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device_record.h"
#include "request_layout.h"

namespace rec = qv::req::device_record;

extern "C" void device_record_copy(void *dst, const void *src)
{
    auto *d = static_cast<char *>(dst);
    const auto *s = static_cast<const char *>(src);
    for (std::size_t i = 0; i < rec::texts; ++i)
        std::strncpy(d + i * rec::text_width, s + i * rec::text_width, rec::text_width);
    std::memcpy(d + rec::state, s + rec::state, sizeof(uint32_t));
}

extern "C" uint32_t qvctl_device_list_record(const qvctl_device_list *list, unsigned i, qvctl_device *out)
{
    if (!list || !out || i >= list->count)
        return EINVAL;
    device_record_copy(out, list->records + i * rec::size);
    return 0;
}

extern "C" void qvctl_device_info_free(qvctl_device *rec) { std::free(rec); }
extern "C" void qvctl_device_list_free(qvctl_device_list *list) { std::free(list); }
