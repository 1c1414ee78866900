// SPDX-License-Identifier: GPL-2.0-or-later
// What the files answering the control device's requests share: the block accessor, the module's
// own codes, device identity, and one handler per request.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "run_out.h"
#include "state.h"

namespace qvsim {

constexpr std::uint32_t api_version = 11, min_size = 528;
enum : int { E_VERSION = 700, E_IN_PROGRESS = 701, E_NO_SNAPSHOT = 702, E_NO_CHANGELOG = 706,
             E_NO_DATA = 707, E_NO_METADATA = 709, E_DATA_SIZE = 711 };

// Reads and writes within the block as the module would: never past its end.
struct blockref {
    std::string &b;
    template <class T> T get(std::size_t off) const
    {
        T v{};
        if (off + sizeof v <= b.size())
            std::memcpy(&v, b.data() + off, sizeof v);
        return v;
    }
    template <class T> void put(std::size_t off, T v) const
    {
        if (off + sizeof v <= b.size())
            std::memcpy(b.data() + off, &v, sizeof v);
    }
    void text(std::size_t off, std::size_t width, const std::string &s, bool unterminated = false) const
    {
        if (off >= b.size())
            return;
        width = std::min(width, b.size() - off);
        std::memset(b.data() + off, unterminated ? 'x' : 0, width);
        std::memcpy(b.data() + off, s.data(), std::min(s.size(), unterminated ? width : width - 1));
    }
    std::size_t room(std::size_t at, std::size_t item) const { return b.size() > at ? (b.size() - at) / item : 0; }
    std::string path(std::size_t off) const
    {
        if (off >= b.size())
            return {};
        return std::string(b.data() + off, strnlen(b.data() + off, std::min<std::size_t>(128, b.size() - off)));
    }
};

// Resolves a device path to an emulated disk or partition: rdev, disk, start and length in sectors.
bool resolve(const std::string &path, dev_t &rdev, disk *&d, std::uint64_t &start, std::uint64_t &sectors);
bool inside(const disk &d, const extent &e);
std::string snapshot_name(const device &dev);

// Requests that name no attached device.
int attach(const blockref &r, const std::string &path);
int device_list(const blockref &r);
int restore(const blockref &r, const std::string &path);
int kernel_extents(disk &d, const blockref &r);

// Requests about an attached device, by request number.
int detach(device &dev, const blockref &r);
int device_info(device &dev, const blockref &r);
int snapshot_start(device &dev, const blockref &r);
int snapshot_end(device &dev, const blockref &r);
int snapshot_get(device &dev, const blockref &r);
int changelog(device &dev, const blockref &r);
int store_map(device &dev, const blockref &r);
int data_store_unmap(device &dev, const blockref &r);
int store_extents(device &dev, const blockref &r);
int device_dump(device &dev, const blockref &r);
int device_reset(device &dev, const blockref &r);

// Ends a snapshot: its device goes; cancel merges its changelog back into the live one.
void snapshot_drop(device &dev, bool merge);

}  // namespace qvsim
