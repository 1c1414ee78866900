#include <cerrno>
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
    for (;;) {
        uint32_t k = entry_count(chunk.get());
        stats->chunks += 1;
        stats->entries += k;
        uint64_t next = 0;
        for (uint32_t i = 0; i < k; ++i) {
            qvctl_changelog_entry e = entry_at(chunk.get(), i);
            if (cb(&e, total, ctx, st) != 0)
                return nullptr;
            stats->blocks += static_cast<uint32_t>(e.count);
            next = e.start + 8 * e.count - 8;
        }
        chunk.reset();
        if (k < cl::chunk)
            return stats.release();
        bool failed = false;
        chunk = continuation(next, path, st, failed);
        if (failed)
            return nullptr;
        if (!chunk)
            return stats.release();
    }
}
