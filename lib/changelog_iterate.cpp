// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "changelog_request.h"
#include "heap_block.h"
#include "qvctl.h"
#include "request_layout.h"

namespace cl = qv::req::changelog;

namespace {

constexpr std::size_t chunk_length = cl::entries + cl::chunk * qv::req::extent_size;
static_assert(chunk_length == 4104);

// The last sector whose bytes a 64-bit offset still reaches: a block past it can be neither read nor
// copied, so an entry listing one is the module's mistake, never a real change.
constexpr std::uint64_t last_sector = ~std::uint64_t{0} / 512;

// The module's entry count, never more than the block was sized to hold.
uint32_t entry_count(const std::uint8_t *block)
{
    uint32_t k = qv::load_le<std::uint32_t>(qv::bytes(block, chunk_length), cl::returned);
    return k > cl::chunk ? cl::chunk : k;
}

qvctl_changelog_entry entry_at(const std::uint8_t *block, uint32_t i)
{
    qv::bytes b(block, chunk_length);
    std::size_t off = cl::entries + std::size_t{i} * qv::req::extent_size;
    return {qv::load_le<std::uint64_t>(b, off), qv::load_le<std::uint64_t>(b, off + 8)};
}

uint64_t last_block(const qvctl_changelog_entry &e) { return e.start + 8 * e.count - 8; }

// One answer and where the iteration stands; `listed` counts blocks as the statistics do (low 32
// bits of each count), so an index that a caller sized by the count never overflows.
struct answer {
    const char *path;
    uint64_t from;     // the start position the answer was asked for
    uint32_t total;    // the caller's count, which the listed blocks may not pass; 0 sets no bound
    uint64_t listed;   // blocks listed by earlier answers
};

// A module that pads its answer, wraps its start positions or lists more than it counted would
// make the iteration loop for ever or hand the caller blocks it has no room for. The whole answer
// is checked before any of its entries is handed on.
uint32_t answer_check(const std::uint8_t *block, uint32_t k, answer &a, qvctl_status *st)
{
    auto refuse = [&](const char *what) {
        return static_cast<uint32_t>(qvctl_status_set(st, EPROTO, "ERROR: %s: changelog answer from sector %llu %s",
                                                      a.path, static_cast<unsigned long long>(a.from), what));
    };
    uint64_t listed = a.listed;
    for (uint32_t i = 0; i < k; ++i) {
        qvctl_changelog_entry e = entry_at(block, i);
        if (e.count == 0)
            return refuse("holds an entry of 0 blocks");
        if (e.start > last_sector || e.count > (last_sector - e.start + 1) / 8)
            return refuse("lists blocks past the last sector");
        listed += static_cast<uint32_t>(e.count);
        if (a.total != 0 && listed > a.total) {
            char text[64];
            std::snprintf(text, sizeof text, "lists more blocks than the %u counted", a.total);
            return refuse(text);
        }
    }
    if (k == cl::chunk && last_block(entry_at(block, k - 1)) <= a.from)
        return refuse("does not reach past its start");
    a.listed = listed;
    return 0;
}

// After a full chunk the module may answer the continuation with no entries: that ends the
// changelog, while a failed request ends the iteration with failure. The raw request tells the two
// apart, which the chunk getter cannot.
qv::heap_block continuation(uint64_t start, const char *path, qvctl_status *st, bool &failed)
{
    qv::heap_block block(static_cast<std::uint8_t *>(changelog_request(start, cl::chunk, path, st)));
    failed = !block;
    if (block && qv::load_le<std::uint32_t>(qv::bytes(block.get(), chunk_length), cl::returned) == 0)
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
    answer a{path, 0, total, 0};
    for (;;) {
        uint32_t k = entry_count(chunk.get());
        if (answer_check(chunk.get(), k, a, st) != 0)
            return nullptr;
        stats->chunks += 1;
        stats->entries += k;
        for (uint32_t i = 0; i < k; ++i) {
            qvctl_changelog_entry e = entry_at(chunk.get(), i);
            if (cb(&e, total, ctx, st) != 0)
                return nullptr;
            stats->blocks += static_cast<uint32_t>(e.count);
        }
        if (k < cl::chunk)
            return stats.release();
        a.from = last_block(entry_at(chunk.get(), k - 1));
        chunk.reset();
        bool failed = false;
        chunk = continuation(a.from, path, st, failed);
        if (failed)
            return nullptr;
        if (!chunk)
            return stats.release();
    }
}
