// SPDX-License-Identifier: GPL-2.0-or-later
// The spot check: after an incremental copy, a random sample of the blocks that the changelog did
// not list is compared between the held snapshot and the image. They should be equal; one that
// differs shows that the changelog missed changes, which no re-read of the copied blocks can see.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "backup_checks.h"
#include "qvctl_internal.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

// The changelog's blocks, ascending and each once.
std::vector<std::uint64_t> listed_blocks(snap_options &o)
{
    const uint32_t flags = o.flags;
    o.flags |= SNAP_INCREMENTAL;
    const std::uint64_t n = snap_blocks_count(&o);
    o.flags = flags;
    std::vector<std::uint64_t> blocks;
    if (o.changelog)
        for (std::uint64_t i = 0; i < n; ++i)
            blocks.push_back(o.changelog[i] / SNAP_BLOCK_SECTORS);
    std::free(o.changelog);
    o.changelog = nullptr;
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    return blocks;
}

// The block of rank r among those not listed: before listed[i] lie listed[i] - i unlisted blocks,
// a count that never falls, so the listed blocks at or below the answer are found by bisection.
std::uint64_t unlisted_at(const std::vector<std::uint64_t> &listed, std::uint64_t r)
{
    std::size_t lo = 0, hi = listed.size();
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        if (listed[mid] - mid <= r)
            lo = mid + 1;
        else
            hi = mid;
    }
    return r + lo;
}

// `k` distinct ranks below `n` (Floyd's sampling), ascending.
std::vector<std::uint64_t> sample(std::uint64_t n, std::uint64_t k)
{
    std::mt19937_64 random(std::random_device{}());
    std::set<std::uint64_t> chosen;
    for (std::uint64_t j = n - k; j < n; ++j) {
        std::uint64_t t = std::uniform_int_distribution<std::uint64_t>(0, j)(random);
        chosen.insert(chosen.count(t) ? j : t);
    }
    return {chosen.begin(), chosen.end()};
}

}  // namespace

int spot_check(snap_options &o, std::uint64_t count, spot_result &out)
{
    out = spot_result{};
    const std::uint64_t sectors = device_size_sectors(o.blkdev, &o.status);
    if (o.status.code)
        return o.status.code;
    const std::vector<std::uint64_t> listed = listed_blocks(o);
    if (o.status.code)
        return o.status.code;
    const std::uint64_t blocks = sectors / SNAP_BLOCK_SECTORS + (sectors % SNAP_BLOCK_SECTORS != 0);
    const std::uint64_t unlisted = blocks > listed.size() ? blocks - listed.size() : 0;
    std::vector<std::uint64_t> at = sample(unlisted, std::min(count, unlisted));
    for (std::uint64_t &r : at)
        r = unlisted_at(listed, r) * SNAP_BLOCK_SECTORS;
    snap_verify_result found{};
    if (uint32_t code = snap_verify_blocks(&o, at.data(), at.size(), &found))
        return code;
    out.checked = found.blocks;
    out.differing = found.differing;
    out.first_sector = found.shown ? found.sectors[0] : 0;
    return 0;
}

}  // namespace qvctl_cli
