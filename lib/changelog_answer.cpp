// SPDX-License-Identifier: LGPL-2.1-or-later
// Checking one changelog answer before any of its entries is handed on.
#include <cerrno>
#include <cstdio>

#include "module_answer.h"
#include "request_layout.h"

namespace cl = qv::req::changelog;

namespace {

// The last sector whose bytes a 64-bit offset still reaches: a block past it can be neither read nor
// copied, so an entry listing one is the module's mistake, never a real change.
constexpr std::uint64_t last_sector = ~std::uint64_t{0} / 512;

}  // namespace

namespace qv::answer {

std::uint32_t changelog_entry_count(bytes block)
{
    std::uint32_t k = load_le<std::uint32_t>(block, cl::returned);
    std::uint64_t room = block.size() > cl::entries ? (block.size() - cl::entries) / req::extent_size : 0;
    if (k > cl::chunk)
        k = cl::chunk;
    return k > room ? static_cast<std::uint32_t>(room) : k;
}

qvctl_changelog_entry changelog_entry(bytes block, std::uint32_t i)
{
    std::size_t off = cl::entries + std::size_t{i} * req::extent_size;
    return {load_le<std::uint64_t>(block, off), load_le<std::uint64_t>(block, off + 8)};
}

std::uint64_t changelog_last_block(const qvctl_changelog_entry &e) { return e.start + 8 * e.count - 8; }

// A module that pads its answer, wraps its start positions or lists more than it counted would make
// the iteration loop for ever or hand the caller blocks it has no room for.
int changelog_check(bytes block, std::uint32_t k, changelog_position &at, qvctl_status *st)
{
    auto refuse = [&](const char *what) {
        return static_cast<std::uint32_t>(qvctl_status_set(st, EPROTO,
                                                           "ERROR: %s: changelog answer from sector %llu %s", at.path,
                                                           static_cast<unsigned long long>(at.from), what));
    };
    std::uint64_t listed = at.listed;
    for (std::uint32_t i = 0; i < k; ++i) {
        qvctl_changelog_entry e = changelog_entry(block, i);
        if (e.count == 0)
            return refuse("holds an entry of 0 blocks");
        if (e.start > last_sector || e.count > (last_sector - e.start + 1) / 8)
            return refuse("lists blocks past the last sector");
        listed += static_cast<std::uint32_t>(e.count);
        if (at.total != 0 && listed > at.total) {
            char text[64];
            std::snprintf(text, sizeof text, "lists more blocks than the %u counted", at.total);
            return refuse(text);
        }
    }
    if (k == cl::chunk && changelog_last_block(changelog_entry(block, k - 1)) <= at.from)
        return refuse("does not reach past its start");
    at.listed = listed;
    return 0;
}

}  // namespace qv::answer
