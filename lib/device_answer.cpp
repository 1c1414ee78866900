// SPDX-License-Identifier: LGPL-2.1-or-later
// Copying device records out of the module's device-info and device-list answers.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device_record.h"
#include "module_answer.h"
#include "request_layout.h"

namespace rec = qv::req::device_record;
namespace lst = qv::req::device_list;

extern "C" void device_record_copy(void *dst, const void *src)
{
    auto *d = static_cast<char *>(dst);
    const auto *s = static_cast<const char *>(src);
    for (std::size_t i = 0; i < rec::texts; ++i)
        std::strncpy(d + i * rec::text_width, s + i * rec::text_width, rec::text_width);
    std::memcpy(d + rec::state, s + rec::state, sizeof(uint32_t));
}

namespace {

// Whole records after `header` that the block holds.
std::size_t records_held(qv::bytes block, std::size_t header)
{
    return block.size() > header ? (block.size() - header) / rec::size : 0;
}

}  // namespace

namespace qv::answer {

qvctl_device *device_info_read(bytes block, qvctl_status *st)
{
    if (records_held(block, req::device_info::record) == 0) {
        qvctl_status_set(st, EPROTO, "ERROR: device info answer of %zu bytes holds no record", block.size());
        return nullptr;
    }
    auto *out = static_cast<qvctl_device *>(std::calloc(1, sizeof(qvctl_device)));
    if (!out) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for device info");
        return nullptr;
    }
    device_record_copy(out, block.data() + req::device_info::record);
    return out;
}

qvctl_device_list *device_list_read(bytes block, std::uint32_t n, qvctl_status *st)
{
    // The count is one byte wide: a longer list is cut at 255 records.
    std::size_t kept = std::min<std::size_t>({n, 255, records_held(block, lst::records)});
    auto *list = static_cast<qvctl_device_list *>(std::calloc(1, 1 + kept * rec::size));
    if (!list) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for outgoing device list");
        return nullptr;
    }
    list->count = static_cast<std::uint8_t>(kept);
    for (std::size_t i = 0; i < kept; ++i)
        device_record_copy(list->records + i * rec::size, block.data() + lst::records + i * rec::size);
    return list;
}

}  // namespace qv::answer
