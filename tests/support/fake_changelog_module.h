// SPDX-License-Identifier: GPL-2.0-or-later
// A changelog module in the test process: qvctl_ioctl is interposed while a fake is installed and
// forwarded to the library otherwise.
#pragma once

#include <cstdint>
#include <vector>

#include "qvctl.h"

namespace qvtest {

struct fake_changelog {
    std::vector<qvctl_changelog_entry> entries;
    std::vector<std::uint64_t> starts;  // start positions asked for, in order
    int fail_at_request = -1;           // index of a changelog request to refuse with EIO
    uint32_t overcount = 0;             // entries claimed beyond those written (the rest is padding)
    bool ignore_start = false;          // every answer lists the changelog from its first entry
    int requests = 0;

    fake_changelog();
    ~fake_changelog();
    fake_changelog(const fake_changelog &) = delete;
    fake_changelog &operator=(const fake_changelog &) = delete;
};

// n entries of increasing, non-touching runs of 1 to 3 blocks.
std::vector<qvctl_changelog_entry> make_entries(std::size_t n);

}  // namespace qvtest
