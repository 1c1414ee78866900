// SPDX-License-Identifier: GPL-2.0-or-later
// A point read back: the image's blocks against the sums, then, for an older point, the deltas from
// the newest down to the point's own, each block against its record's checksum. Restore and check
// share it; what they do with a block and with a damaged one is theirs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qvctl.h"
#include "repo.h"

namespace qvctl_cli {

class progress_meter;

struct damage {
    std::uint64_t point = 0, sector = 0;
};

struct point_scan {
    point_scan(const repo &repository, std::uint64_t wanted, int workers_ = 1)
        : r(repository), point(wanted), workers(workers_)
    {
    }
    const repo &r;
    std::uint64_t point = 0;  // the point wanted; the latest when 0
    int workers = 1;
    bool stop_at_damage = true;
    bool read_image = true;  // false: the deltas alone, applied over a copy of the image
    progress_meter *progress = nullptr;

    // Blocks of the image, [first, first + count), read and checked; thread-safe.
    std::function<int(std::uint64_t first, std::uint64_t count, const unsigned char *data, qvctl_status &st)> image_blocks;
    // One block of a delta, checked, in the order it is to be applied.
    std::function<int(std::uint64_t block, bool zero, const unsigned char *data, qvctl_status &st)> delta_block;

    std::uint64_t blocks = 0, damaged = 0;
    std::vector<damage> first_damaged;  // at most `shown`, in the order found
    static constexpr std::size_t shown = 10;

    // 0, repo_damaged (after the scan when not stopping, at the first one else) or a code.
    int run(qvctl_status &st);
    // Blocks the scan reads, for a progress line.
    std::uint64_t total() const;
};

// The point to read and its record, checked to exist: else a message naming the points there are.
const chain_record *point_find(const repo &r, std::uint64_t number, qvctl_status &st);
const chain_record *point_find(const chain_points &r, const std::string &name, std::uint64_t number, qvctl_status &st);

}  // namespace qvctl_cli
