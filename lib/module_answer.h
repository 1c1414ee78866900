// SPDX-License-Identifier: LGPL-2.1-or-later
// Readers of the module's answered request blocks. Each takes the block as the library holds it after
// the ioctl and believes no count or length before checking it against that block: a module at fault
// must give a refusal, never a read past the block or an allocation sized by a number it made up.
#pragma once

#include <cstdint>

#include "bytes.h"
#include "qvctl.h"

namespace qv::answer {

// --- the changelog, one chunk at a time

// Where an iteration stands when an answer arrives; `listed` counts blocks as the statistics do (low
// 32 bits of each count), so an index that a caller sized by the count never overflows.
struct changelog_position {
    const char *path;
    std::uint64_t from;    // the start position the answer was asked for
    std::uint32_t total;   // the caller's count, which the listed blocks may not pass; 0 sets no bound
    std::uint64_t listed;  // blocks listed by earlier answers
};

// The module's entry count, never more than a chunk nor than the block holds.
std::uint32_t changelog_entry_count(bytes block);
qvctl_changelog_entry changelog_entry(bytes block, std::uint32_t i);
std::uint64_t changelog_last_block(const qvctl_changelog_entry &e);
// 0 when the first k entries may be handed on (the position then counts them), else EPROTO.
int changelog_check(bytes block, std::uint32_t k, changelog_position &at, qvctl_status *st);

// --- devices

// The record of a device-info answer (caller frees), or null.
qvctl_device *device_info_read(bytes block, qvctl_status *st);
// The records of a device-list answer sized for `n` of them, at most 255 (caller frees), or null.
qvctl_device_list *device_list_read(bytes block, std::uint32_t n, qvctl_status *st);

// --- extents of the stores

// The extents of a store-extents answer (caller frees), as many as the module counted and the block holds.
store_extent_list *store_extents_read(bytes block, qvctl_status *st);
// The extents of a kernel-extents fetch sized for `n` into *out (caller frees); their number, 0 on failure.
std::uint32_t kernel_extents_read(bytes block, std::uint32_t n, sector_extent **out, qvctl_status *st);

}  // namespace qv::answer
