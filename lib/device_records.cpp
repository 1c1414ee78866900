// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's records of attached devices: one device's, and the list of all.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device_record.h"
#include "module_answer.h"
#include "qvctl.h"
#include "request_block.h"
#include "request_layout.h"

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

namespace rec = qv::req::device_record;

extern "C" uint32_t qvctl_device_list_record(const qvctl_device_list *list, unsigned i, qvctl_device *out)
{
    if (!list || !out || i >= list->count)
        return EINVAL;
    device_record_copy(out, list->records + i * rec::size);
    return 0;
}

extern "C" void qvctl_device_info_free(qvctl_device *rec) { std::free(rec); }
extern "C" void qvctl_device_list_free(qvctl_device_list *list) { std::free(list); }

namespace {

namespace lst = qv::req::device_list;
constexpr int rounds = 5;
constexpr int busy = EAGAIN;  // the list changed between the count and the records: ask again

void set_count(qv::request_block &b, uint32_t n) { qv::store_le<uint32_t>(b.span(), lst::count, n); }

}  // namespace

extern "C" qvctl_device_list *qvctl_device_list_get(qvctl_status *caller)
{
    qvctl_status own{};
    qvctl_status *st = caller ? caller : &own;
    qvctl_status_set(st, 0, "%s", "");
    auto block = qv::request_new(qv::req::min_size);
    if (!block) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for qvi");
        return nullptr;
    }
    uint32_t n = 0;
    int r = busy;
    for (int round = 0; round < rounds && r == busy; ++round) {
        set_count(block, 0xffffffffu);
        if (qvctl_ioctl(QVCTL_REQ_DEVICE_LIST, block.get(), nullptr, st))
            return nullptr;
        n = qv::load_le<uint32_t>(block.view(), lst::count);
        if (n == 0)
            return nullptr;
        std::size_t len = qv::req::block_length(lst::records, n, qv::req::device_record::size);
        if (!qv::request_grow(block, qv::req::min_size, len, st)) {
            qvctl_status_set(st, st->code, "ERROR: Failed to allocate memory for ioctl device list");
            return nullptr;
        }
        r = qvctl_ioctl(QVCTL_REQ_DEVICE_LIST, block.get(), nullptr, st);
        if (r != 0 && r != busy) {
            qvctl_status_set(st, r, "ERROR: Failed to perform ioctl");
            return nullptr;
        }
    }
    if (r != 0)
        return nullptr;  // still changing after the last round: the channel's message for EAGAIN stands
    return qv::answer::device_list_read(block.view(), n, st);
}
