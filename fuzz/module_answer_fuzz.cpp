// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds the module's answered request blocks to the library's readers of them. The input is one
// byte choosing the answer, a u32 count (what an earlier answer of the exchange sized the block
// for, or the caller's changelog total), a u64 start position, then the block itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "module_answer.h"
#include "request_layout.h"

namespace ans = qv::answer;

namespace {

enum kind : uint8_t { changelog, device_info, device_list, store_extents, kernel_extents, kinds };

constexpr uint64_t last_sector = ~uint64_t{0} / 512;

void check(bool holds)
{
    if (!holds)
        std::abort();
}

void changelog_answer(qv::bytes block, uint32_t total, uint64_t from)
{
    ans::changelog_position at{"/dev/fuzz", from, total, 0};
    const uint32_t k = ans::changelog_entry_count(block);
    check(k <= qv::req::changelog::chunk && (k == 0 || qv::req::changelog::entries + 16 * std::size_t{k} <= block.size()));
    qvctl_status st{};
    if (ans::changelog_check(block, k, at, &st) != 0)
        return;
    // What is handed on: real blocks, no more than counted.
    for (uint32_t i = 0; i < k; ++i) {
        qvctl_changelog_entry e = ans::changelog_entry(block, i);
        check(e.count > 0 && e.start <= last_sector && ans::changelog_last_block(e) >= e.start);
    }
    check(total == 0 || at.listed <= total);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qv::Cursor in(qv::bytes(data, size));
    const uint8_t which = in.le<uint8_t>();
    const uint32_t n = in.le<uint32_t>();
    const uint64_t from = in.le<uint64_t>();
    if (!in.ok())
        return 0;
    // A copy of the exact size, so that a read past the block is a read past the allocation.
    const qv::bytes rest = in.take_bytes(in.remaining());
    std::vector<uint8_t> owned(rest.begin(), rest.end());
    const qv::bytes block(owned.data(), owned.size());
    qvctl_status st{};
    switch (which % kinds) {
    case changelog:
        changelog_answer(block, n, from);
        break;
    case device_info:
        std::free(ans::device_info_read(block, &st));
        break;
    case device_list:
        if (qvctl_device_list *list = ans::device_list_read(block, n, &st)) {
            check(list->count <= n &&
                  (list->count == 0 || qv::req::device_list::records + 516 * std::size_t{list->count} <= block.size()));
            std::free(list);
        }
        break;
    case store_extents:
        if (store_extent_list *list = ans::store_extents_read(block, &st)) {
            check(list->count == 0 || qv::req::store_extents::extents + 16 * list->count <= block.size());
            std::free(list);
        }
        break;
    case kernel_extents: {
        sector_extent *out = nullptr;
        const uint32_t got = ans::kernel_extents_read(block, n, &out, &st);
        check(got <= n && (got == 0 || qv::req::kernel_extents::extents + 16 * std::size_t{got} <= block.size()));
        std::free(out);
        break;
    }
    }
    return 0;
}
