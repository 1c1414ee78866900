// SPDX-License-Identifier: GPL-2.0-or-later
// The spot check's sample: blocks that the changelog did not list, chosen at random, so that a
// changelog that missed changes is caught, which no re-read of the listed blocks can see. The
// changelog is walked once, in ascending runs, and never held: the sample is drawn as ranks among
// the unlisted blocks and each rank becomes its block as the runs before it go by.
#include <random>
#include <set>

#include "backup_checks.h"

namespace qvctl_cli {

std::vector<std::uint64_t> spot_ranks(std::uint64_t unlisted, std::uint64_t count)
{
    count = std::min(count, unlisted);
    // Floyd's sampling: `count` distinct values below `unlisted`.
    std::mt19937_64 random(std::random_device{}());
    std::set<std::uint64_t> chosen;
    for (std::uint64_t j = unlisted - count; j < unlisted; ++j) {
        std::uint64_t t = std::uniform_int_distribution<std::uint64_t>(0, j)(random);
        chosen.insert(chosen.count(t) ? j : t);
    }
    return {chosen.begin(), chosen.end()};
}

// Before a run at `first`, the unlisted blocks number first - listed; rank r lies there when
// r + listed < first.
void spot_walk::run(std::uint64_t first, std::uint64_t count)
{
    for (; next < ranks.size() && ranks[next] + listed < first; ++next)
        blocks.push_back(ranks[next] + listed);
    listed += count;
}

void spot_walk::end(std::uint64_t device_blocks)
{
    for (; next < ranks.size() && ranks[next] + listed < device_blocks; ++next)
        blocks.push_back(ranks[next] + listed);
}

}  // namespace qvctl_cli
