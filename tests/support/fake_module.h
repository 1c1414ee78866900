// SPDX-License-Identifier: GPL-2.0-or-later
// A module in the test process: while one exists, every request of the library goes to it instead
// of the control device. It answers from the state the test gives it, records each request block as
// the library sent it, and refuses the request the test names.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "qvctl_internal.h"
#include "request_layout.h"

namespace qvtest {

struct fake_module {
    struct request {
        std::uint32_t code;
        std::string device;               // the block's device field
        std::vector<std::uint8_t> block;  // as sent, its size field long
    };

    // Changelog answers: `entries` paged out 247 at a time from the one after the asked start.
    std::vector<qvctl_changelog_entry> entries;
    std::uint32_t overcount = 0;  // entries claimed beyond those written (the rest is padding)
    bool ignore_start = false;    // every page lists the changelog from its first entry
    std::vector<std::uint64_t> starts;  // start positions of the pages asked for, in order
    // Store-extents answers: the extents held; every answer after the first counts `held_extra` more.
    std::vector<sector_extent> held;
    std::uint32_t held_extra = 0;

    // The request numbered `fail_at_request` (from 0) among those of code `fail_kind` (0: of every
    // code) is refused with `fail_with` and the message "fake refusal".
    int fail_at_request = -1;
    std::uint32_t fail_kind = 0;
    int fail_with = EIO;

    std::vector<request> requests;
    std::vector<request> of(std::uint32_t code) const;

    fake_module();
    ~fake_module();
    fake_module(const fake_module &) = delete;
    fake_module &operator=(const fake_module &) = delete;

private:
    qv::request_handler handler_;
    const qv::request_handler *replaced_;
};

// n entries of increasing, non-touching runs of 1 to 3 blocks.
std::vector<qvctl_changelog_entry> make_entries(std::size_t n);

}  // namespace qvtest
