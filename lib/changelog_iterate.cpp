// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>

#include "bytes.h"
#include "changelog_request.h"
#include "heap_block.h"
#include "module_answer.h"
#include "qvctl.h"
#include "request_layout.h"

namespace cl = qv::req::changelog;
namespace ans = qv::answer;

namespace {

constexpr std::size_t chunk_length = cl::entries + cl::chunk * qv::req::extent_size;
static_assert(chunk_length == 4104);

qv::bytes chunk_of(const qv::heap_block &block) { return {block.get(), chunk_length}; }

// After a full chunk the module may answer the continuation with no entries: that ends the
// changelog, while a failed request ends the iteration with failure. The raw request tells the two
// apart, which the chunk getter cannot.
qv::heap_block continuation(uint64_t start, const char *path, qvctl_status *st, bool &failed)
{
    qv::heap_block block(static_cast<std::uint8_t *>(changelog_request(start, cl::chunk, path, st)));
    failed = !block;
    if (block && qv::load_le<std::uint32_t>(chunk_of(block), cl::returned) == 0)
        block.reset();
    return block;
}

}  // namespace

extern "C" qvctl_changelog_stats *qvctl_changelog_iterate(const char *path, uint32_t total, qvctl_changelog_cb cb,
                                                          void *ctx, qvctl_status *st)
{
    qv::heap_ptr<qvctl_changelog_stats> stats(
        static_cast<qvctl_changelog_stats *>(std::calloc(1, sizeof(qvctl_changelog_stats))));
    if (!stats) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for changelog stats");
        return nullptr;
    }
    qv::heap_block chunk(static_cast<std::uint8_t *>(changelog_chunk_get(0, path, st)));
    if (!chunk)
        return nullptr;
    ans::changelog_position a{path, 0, total, 0};
    for (;;) {
        uint32_t k = ans::changelog_entry_count(chunk_of(chunk));
        if (ans::changelog_check(chunk_of(chunk), k, a, st) != 0)
            return nullptr;
        stats->chunks += 1;
        stats->entries += k;
        for (uint32_t i = 0; i < k; ++i) {
            qvctl_changelog_entry e = ans::changelog_entry(chunk_of(chunk), i);
            if (cb(&e, total, ctx, st) != 0)
                return nullptr;
            stats->blocks += static_cast<uint32_t>(e.count);
        }
        if (k < cl::chunk)
            return stats.release();
        a.from = ans::changelog_last_block(ans::changelog_entry(chunk_of(chunk), k - 1));
        chunk.reset();
        bool failed = false;
        chunk = continuation(a.from, path, st, failed);
        if (failed)
            return nullptr;
        if (!chunk)
            return stats.release();
    }
}
