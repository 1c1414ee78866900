// SPDX-License-Identifier: GPL-2.0-or-later
// Store requests: the store-map batches, the registered extents, the data store's unmapping, and
// the mark watch that locates a store file's sectors.
#include <cerrno>

#include "requests.h"

namespace qvsim {

int store_map(device &dev, const blockref &r)
{
    auto kind = r.get<std::uint32_t>(136);
    auto n = r.get<std::uint32_t>(144);
    auto flags = r.get<std::uint32_t>(148);
    if (kind > 2 || n > r.room(152, 16))
        return EINVAL;
    store &s = dev.stores[kind];
    if (flags & 1) {
        if (s.open || s.mapped)
            return EEXIST;
        s = store{};
        s.open = true;
        s.param = r.get<std::uint32_t>(140);
        s.flags = flags & ~7u;
    } else if (!(flags & 6) || !s.open) {
        return EINVAL;  // a later batch with nothing open, or no batch bit at all
    }
    std::vector<extent> add;
    for (std::uint32_t i = 0; i < n; ++i) {
        extent e{r.get<std::uint64_t>(152 + 16 * i), r.get<std::uint64_t>(160 + 16 * i)};
        if (!inside(*dev.on, e)) {
            if (flags & 1)
                s = store{};
            return EINVAL;
        }
        add.push_back(e);
    }
    s.extents.insert(s.extents.end(), add.begin(), add.end());
    s.batches.push_back({flags, n});
    if (flags & 4) {
        std::uint64_t total = 0;
        for (auto &e : s.extents)
            total += e.count;
        if (kind == 1 && total == 0) {
            s = store{};
            return E_DATA_SIZE;
        }
        s.open = false;
        s.mapped = true;
    }
    return 0;
}

int store_extents(device &dev, const blockref &r)
{
    auto kind = r.get<std::uint32_t>(136);
    if (kind > 2)
        return EINVAL;
    const auto &ex = dev.stores[kind].extents;
    std::size_t n = std::min(ex.size(), r.room(152, 16));
    for (std::size_t i = 0; i < n; ++i) {
        r.put<std::uint64_t>(152 + 16 * i, ex[i].first);
        r.put<std::uint64_t>(160 + 16 * i, ex[i].count);
    }
    r.put<std::uint32_t>(144, static_cast<std::uint32_t>(ex.size() + (global().quirk.overcount ? 1000 : 0)));
    return 0;
}

int data_store_unmap(device &dev, const blockref &)
{
    if (!dev.stores[1].mapped)
        return E_NO_DATA;
    if (dev.snap)
        return E_IN_PROGRESS;
    dev.stores[1] = store{};
    return 0;
}

int kernel_extents(disk &d, const blockref &r)
{
    auto phase = r.get<std::uint32_t>(136);
    std::lock_guard lock(global().mu);
    switch (phase) {
    case 0:
        if (d.watching)
            return EBUSY;
        d.watching = true;
        d.marks.clear();
        d.found.clear();
        return 0;
    case 1: {
        if (!d.watching)
            return EIO;
        d.watching = false;
        d.found.clear();
        for (auto sec : d.marks) {
            if (!d.found.empty() && d.found.back().first + d.found.back().count == sec)
                ++d.found.back().count;
            else
                d.found.push_back({sec, 1});
        }
        d.marks.clear();
        if (d.found.empty())
            return EIO;
        r.put<std::uint32_t>(140, static_cast<std::uint32_t>(d.found.size()));
        return 0;
    }
    case 2: {
        if (d.found.empty())
            return EIO;
        std::size_t n = std::min(d.found.size(), r.room(144, 16));
        for (std::size_t i = 0; i < n; ++i) {
            r.put<std::uint64_t>(144 + 16 * i, d.found[i].first);
            r.put<std::uint64_t>(152 + 16 * i, d.found[i].count);
        }
        r.put<std::uint32_t>(140, static_cast<std::uint32_t>(global().quirk.overcount ? n + 1000 : n));
        return 0;
    }
    case 3:
        d.watching = false;
        d.marks.clear();
        d.found.clear();
        return 0;
    }
    return EINVAL;
}

}  // namespace qvsim
