// SPDX-License-Identifier: GPL-2.0-or-later
// The control device's requests: the block's checks, device identity, and the table of handlers.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

#include "paths.h"
#include "requests.h"

namespace qvsim {

// Resolves a device path to an emulated disk or partition: rdev, disk, start and length in sectors.
bool resolve(const std::string &path, dev_t &rdev, disk *&d, std::uint64_t &start, std::uint64_t &sectors)
{
    char real[PATH_MAX];
    struct stat sb {};
    if (path.empty() || !::realpath(path.c_str(), real) || ::stat(real, &sb) != 0 || !S_ISBLK(sb.st_mode))
        return false;
    for (auto &[i, dk] : global().disks) {
        if (dk->whole_rdev == sb.st_rdev) {
            rdev = sb.st_rdev, d = dk.get(), start = 0, sectors = dk->bytes / 512;
            return true;
        }
        if (!dk->partition.empty() && dk->part_rdev == sb.st_rdev) {
            rdev = sb.st_rdev, d = dk.get(), start = dk->part_start, sectors = dk->part_sectors;
            return true;
        }
    }
    return false;
}

bool inside(const disk &d, const extent &e) { return e.first <= d.bytes / 512 && e.count <= d.bytes / 512 - e.first; }

namespace {

using handler = int (*)(device &, const blockref &);

// Requests 0, 3, 10 and 13 name no attached device and are answered before the table.
constexpr handler on_device[15] = {
    nullptr,       detach,           device_info,   nullptr,     snapshot_start,
    snapshot_end,  snapshot_get,     changelog,     store_map,   data_store_unmap,
    nullptr,       store_extents,    device_dump,   nullptr,     device_reset,
};

}  // namespace

int handle_request(std::uint32_t code, std::string &block)
{
    auto &st = global();
    std::uint32_t nr = code - 0x82104200u;
    blockref r{block};
    // A module can only find the device list changed once it has given the count, so faults on the
    // list hit the asks that carry one.
    const bool count_query = nr == 3 && r.get<std::uint32_t>(8) == 0xFFFFFFFFu;
    if (auto f = st.faults.find(nr); f != st.faults.end() && !count_query) {
        int value = f->second.first;
        if (--f->second.second <= 0)
            st.faults.erase(f);
        return value;
    }
    if (nr > 14)
        return EINVAL;
    if (r.get<std::uint32_t>(0) != api_version)
        return E_VERSION;
    auto size = r.get<std::uint32_t>(4);
    if (size < min_size || size > max_block)
        return EINVAL;
    std::string path = r.path(8);
    if (nr == 3)
        return device_list(r);
    if (nr == 0)
        return attach(r, path);
    if (nr == 13)
        return restore(r, path);
    dev_t rdev{};
    disk *d = nullptr;
    std::uint64_t s = 0, n = 0;
    if (!resolve(path, rdev, d, s, n))
        return ENODEV;
    if (nr == 10)
        return kernel_extents(*d, r);
    auto it = st.devices.find(rdev);
    if (it == st.devices.end())
        return ENODEV;
    return on_device[nr](*it->second, r);
}

}  // namespace qvsim
