// SPDX-License-Identifier: GPL-2.0-or-later
#include "fake_device_size.h"

#include <utility>

#include "qvctl_internal.h"

namespace qvtest {
namespace {
fake_device_size *active = nullptr;

uint64_t answer(const char *device, qvctl_status *st)
{
    if (!active || !device || active->path != device)
        return qv::device_size_query(device, st);
    if (active->error)
        return (qvctl_status_set(st, active->error, "fake size query of %s failed", device), 0);
    return active->sectors;
}
}  // namespace

fake_device_size::fake_device_size(std::string device, std::uint64_t size_sectors)
    : path(std::move(device)), sectors(size_sectors)
{
    active = this;
    qv::device_size_source_set(answer);
}

fake_device_size::~fake_device_size()
{
    qv::device_size_source_set(nullptr);
    active = nullptr;
}

}  // namespace qvtest
