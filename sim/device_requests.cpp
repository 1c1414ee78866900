// SPDX-License-Identifier: GPL-2.0-or-later
// Device requests: attach, detach, the device record and list, dump, restore and reset.
#include <cerrno>

#include "requests.h"

namespace qvsim {
namespace {

constexpr const char *fs_names[] = {"unknown", "ext2", "ext3", "ext4", "xfs", "btrfs", "vfat"};

std::uint32_t state_word(const device &dev)
{
    return (dev.stores[0].mapped ? 1u : 0u) | (dev.stores[2].mapped ? 2u : 0u) | (dev.stores[1].mapped ? 4u : 0u) |
           (dev.snap ? 8u : 0u);
}

void fill_record(const blockref &r, std::size_t at, const device &dev)
{
    bool raw = global().quirk.unterminated;
    r.text(at, 128, dev.path, raw);
    r.text(at + 128, 128, snapshot_name(dev), raw);
    r.text(at + 256, 128, dev.snap ? "snapshot" : "idle", raw);
    r.text(at + 384, 128, fs_names[dev.fs_type < 7 ? dev.fs_type : 0], raw);
    r.put<std::uint32_t>(at + 512, state_word(dev));
}

}  // namespace

int attach(const blockref &r, const std::string &path)
{
    dev_t rdev{};
    disk *d = nullptr;
    std::uint64_t start = 0, sectors = 0;
    if (!resolve(path, rdev, d, start, sectors))
        return ENXIO;
    if (global().devices.count(rdev))
        return EEXIST;
    auto dev = std::make_unique<device>();
    dev->path = path, dev->rdev = rdev, dev->on = d, dev->start = start, dev->sectors = sectors;
    dev->fs_type = r.get<std::uint32_t>(136);
    dev->attach_flags = r.get<std::uint8_t>(140);
    auto n = r.get<std::uint32_t>(144);
    if (n > r.room(152, 16))
        return EINVAL;
    for (std::uint32_t i = 0; i < n; ++i) {
        extent e{r.get<std::uint64_t>(152 + 16 * i), r.get<std::uint64_t>(160 + 16 * i)};
        if (!inside(*d, e))
            return EINVAL;
        dev->metadata.push_back(e);
    }
    std::lock_guard lock(global().mu);
    global().devices[rdev] = std::move(dev);
    log_line("attached %s", path.c_str());
    return 0;
}

int device_list(const blockref &r)
{
    auto &devs = global().devices;
    auto count = r.get<std::uint32_t>(8);
    auto n = static_cast<std::uint32_t>(devs.size());
    if (count == 0xFFFFFFFFu) {
        r.put<std::uint32_t>(8, global().quirk.overcount ? n + 1000 : n);
        return 0;
    }
    if (count < n)
        return EAGAIN;
    std::size_t i = 0, room = r.room(12, 516);
    for (auto &[rdev, dev] : devs) {
        if (i >= room)
            break;
        fill_record(r, 12 + 516 * i++, *dev);
    }
    r.put<std::uint32_t>(8, global().quirk.overcount ? n + 1000 : n);
    return 0;
}

int restore(const blockref &r, const std::string &path)
{
    dev_t a{}, b{};
    disk *d = nullptr;
    std::uint64_t s = 0, n = 0;
    if (!resolve(path, a, d, s, n) || !resolve(r.path(136), b, d, s, n))
        return ENODEV;
    log_line("restore %s from %s", path.c_str(), r.path(136).c_str());
    return 0;
}

int detach(device &dev, const blockref &)
{
    if (dev.snap)
        return E_IN_PROGRESS;
    std::lock_guard lock(global().mu);
    global().devices.erase(dev.rdev);
    return 0;
}

int device_info(device &dev, const blockref &r)
{
    fill_record(r, 8, dev);
    return 0;
}

int device_dump(device &dev, const blockref &)
{
    log_line("dump of %s: fs %u, flags %u, state %u, %zu changed blocks", dev.path.c_str(), dev.fs_type,
             dev.attach_flags, state_word(dev), dev.changelog.size());
    return 0;
}

int device_reset(device &dev, const blockref &)
{
    snapshot_drop(dev, false);
    {
        std::lock_guard lock(global().mu);
        dev.changelog.clear();
    }
    dev.stores = {};
    return 0;
}

}  // namespace qvsim
