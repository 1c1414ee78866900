// SPDX-License-Identifier: GPL-2.0-or-later
// The changelog request: the count of changed blocks, or their runs after a start sector.
#include "requests.h"

namespace qvsim {
namespace {

std::vector<extent> runs(const std::set<std::uint64_t> &blocks, std::uint64_t after_sector, bool use_after)
{
    std::vector<extent> out;
    for (auto blk : blocks) {
        if (use_after && blk * 8 <= after_sector)
            continue;
        if (!out.empty() && out.back().first / 8 + out.back().count == blk)
            ++out.back().count;
        else
            out.push_back({blk * 8, 1});
    }
    return out;
}

}  // namespace

int changelog(device &dev, const blockref &r)
{
    auto &q = global().quirk;
    std::lock_guard lock(global().mu);
    const auto &blocks = dev.snap ? dev.snap->changelog : dev.changelog;
    auto start = r.get<std::uint64_t>(136);
    auto cap = r.get<std::uint32_t>(144);
    if (cap == 0) {
        auto n = static_cast<std::uint32_t>(blocks.size());
        r.put<std::uint32_t>(144, q.changelog_excess && n ? n - 1 : n);
        return 0;
    }
    auto all = runs(blocks, start, start > 0);
    if (q.changelog_twice && !all.empty())
        all.insert(all.begin(), all.front());
    std::size_t n = std::min<std::size_t>({all.size(), cap, r.room(152, 16)});
    for (std::size_t i = 0; i < n; ++i) {
        r.put<std::uint64_t>(152 + 16 * i, all[i].first);
        r.put<std::uint64_t>(160 + 16 * i, all[i].count);
    }
    r.put<std::uint32_t>(144, static_cast<std::uint32_t>(q.overcount ? n + 1000 : n));
    return 0;
}

}  // namespace qvsim
