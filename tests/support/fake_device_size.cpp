// SPDX-License-Identifier: GPL-2.0-or-later
#include "fake_device_size.h"

#include <dlfcn.h>

#include <cstring>
#include <utility>

#include "qvctl_internal.h"

namespace qvtest {
namespace {
fake_device_size *active = nullptr;
}

fake_device_size::fake_device_size(std::string device, std::uint64_t size_sectors)
    : path(std::move(device)), sectors(size_sectors)
{
    active = this;
}
fake_device_size::~fake_device_size() { active = nullptr; }

}  // namespace qvtest

extern "C" uint64_t device_size_sectors(const char *device, qvctl_status *st)
{
    if (auto *f = qvtest::active; f && device && f->path == device) {
        ++f->queries;
        if (f->error)
            return (qvctl_status_set(st, f->error, "fake size query of %s failed", device), 0);
        return f->sectors;
    }
    using fn = uint64_t (*)(const char *, qvctl_status *);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "device_size_sectors"));
    return real(device, st);
}
