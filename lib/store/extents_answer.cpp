// SPDX-License-Identifier: LGPL-2.1-or-later
// The extents of the module's store-extents and kernel-extents answers.
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "module_answer.h"
#include "request_layout.h"

namespace se = qv::req::store_extents;
namespace ke = qv::req::kernel_extents;

namespace {

// Whole extents after `header` that the block holds.
std::uint32_t extents_held(qv::bytes block, std::size_t header)
{
    std::size_t n = block.size() > header ? (block.size() - header) / qv::req::extent_size : 0;
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX));
}

sector_extent extent_at(qv::bytes block, std::size_t header, std::uint32_t i)
{
    const std::size_t at = header + qv::req::extent_size * i;
    return {qv::load_le<std::uint64_t>(block, at), qv::load_le<std::uint64_t>(block, at + 8)};
}

}  // namespace

namespace qv::answer {

// A module that counts more than the block can hold is believed only as far as the block goes.
store_extent_list *store_extents_read(bytes block, qvctl_status *st)
{
    const std::uint32_t got = std::min(load_le<std::uint32_t>(block, se::count), extents_held(block, se::extents));
    auto *list = static_cast<store_extent_list *>(std::calloc(1, sizeof(store_extent_list) + std::size_t{got} * 16));
    if (!list) {
        qvctl_status_set(st, errno, "ERROR: calloc failed in %s", "qvctl_store_extents_get");
        return nullptr;
    }
    list->count = got;
    for (std::uint32_t i = 0; i < got; ++i)
        list->extents[i] = extent_at(block, se::extents, i);
    return list;
}

std::uint32_t kernel_extents_read(bytes block, std::uint32_t n, sector_extent **out, qvctl_status *st)
{
    const std::uint32_t got = std::min({load_le<std::uint32_t>(block, ke::count), n, extents_held(block, ke::extents)});
    auto *extents = static_cast<sector_extent *>(std::calloc(got ? got : 1, sizeof(sector_extent)));
    if (!extents) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocated extents in %s", "kernel_extents_get");
        return 0;
    }
    for (std::uint32_t i = 0; i < got; ++i)
        extents[i] = extent_at(block, ke::extents, i);
    *out = extents;
    return got;
}

}  // namespace qv::answer
