// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "btrfs/format/layout.h"
#include "heap_block.h"
#include "qvctl_internal.h"

namespace {

namespace fmt = qv::btrfs;
constexpr uint64_t data = 1, M = 1ull << 20, G = 1ull << 30;

// The offset on device 2 of a chunk of `type` with one stripe per devid, stripe i at (i + 1) MiB.
uint64_t physical(uint64_t type, const std::vector<uint64_t> &devids)
{
    std::vector<uint8_t> c(fmt::chunk::item_size(static_cast<uint16_t>(devids.size())));
    fmt::chunk::type.put(c, type);
    fmt::chunk::num_stripes.put(c, static_cast<uint16_t>(devids.size()));
    for (uint16_t i = 0; i < devids.size(); ++i) {
        fmt::stripe::devid.put(qv::mut_bytes(c).subspan(fmt::chunk::stripe_at(i)), devids[i]);
        fmt::stripe::offset.put(qv::mut_bytes(c).subspan(fmt::chunk::stripe_at(i)), (i + 1u) * M);
    }
    return btrfs_chunk_physical(c.data(), static_cast<uint32_t>(c.size()), 2);
}

}  // namespace

// Whole-copy profiles go through the mapped device's own stripe; striped ones are refused unless
// they have a single stripe, and so are chunks kept elsewhere.
TEST(ChunkMap, StripeOnTheMappedDeviceByProfile)
{
    EXPECT_EQ(physical(data, {2}), M);
    EXPECT_EQ(physical(data, {1}), BTRFS_CHUNK_ABSENT);
    EXPECT_EQ(physical(data | 1 << 5, {2, 2}), M);                  // dup
    EXPECT_EQ(physical(data | 1 << 4, {1, 2}), 2 * M);              // raid1
    EXPECT_EQ(physical(data | 1 << 4, {1, 3}), BTRFS_CHUNK_ABSENT);  // raid1 elsewhere
    EXPECT_EQ(physical(data | 1 << 9, {3, 1, 2}), 3 * M);           // raid1c3
    EXPECT_EQ(physical(data | 1 << 3, {1, 2}), BTRFS_CHUNK_SPREAD);  // raid0
    EXPECT_EQ(physical(data | 1 << 3, {2}), M);                     // raid0 of one stripe
    EXPECT_EQ(physical(data | 1 << 6, {1, 2, 3, 4}), BTRFS_CHUNK_SPREAD);  // raid10
    EXPECT_EQ(physical(data | 1 << 7, {2, 1, 3}), BTRFS_CHUNK_SPREAD);     // raid5
}

// An extent that runs past its chunk's end continues in the chunk that follows it in the logical
// space, wherever that chunk's stripe lies: each piece is translated through its own chunk. A piece
// in a chunk kept elsewhere fails the whole map, naming where that piece starts.
TEST(ChunkMapSplit, ExtentsAreCutAtChunkEnds)
{
    constexpr uint64_t top = ~0ull - M + 1;
    struct map_owner {
        chunk_map root = nullptr;
        ~map_owner() { chunk_map_free(&root); }
    } m;
    qvctl_status st{};
    // Two adjacent chunks stored apart, one with no stripe here, a gap, one more, one striped and
    // one that ends the address space (its compare must not wrap).
    for (const chunk_map_entry &c : {chunk_map_entry{G, 100 * M, 8 * M}, {G + 8 * M, 300 * M, 8 * M},
                                     {G + 16 * M, BTRFS_CHUNK_ABSENT, 8 * M}, {G + 32 * M, 500 * M, 8 * M},
                                     {2 * G, BTRFS_CHUNK_SPREAD, G}, {top, 7 * M, M}})
        ASSERT_EQ(chunk_map_insert(&m.root, c.logical, c.physical, c.length, &st), 0);
    using piece = std::tuple<uint64_t, uint64_t, uint64_t, uint32_t>;  // file offset, device offset, length, flags
    constexpr uint32_t last = FIEMAP_EXTENT_LAST;
    const struct {
        uint64_t logical, length;
        std::vector<piece> pieces;  // the extent sits at file offset 1 MiB, flagged last; none: refused
        const char *why = nullptr;
    } rows[] = {
        {G + 4096, 8192, {{M, 100 * M + 4096, 8192, last}}},
        {G + 8 * M - 4096, 12288, {{M, 108 * M - 4096, 4096, 0}, {M + 4096, 300 * M, 8192, last}}},
        {G + 28 * M, 8 * M, {{M, G + 28 * M, 4 * M, 0}, {5 * M, 500 * M, 4 * M, last}}},  // from a gap
        {4096, 4096, {{M, 4096, 4096, last}}},                                          // in no chunk
        {G + 4096, 0, {{M, 100 * M + 4096, 0, last}}},
        {top + 4096, 4096, {{M, 7 * M + 4096, 4096, last}}},
        {G + 12 * M, 8 * M, {}, "1090519040 lies in a chunk with no stripe on this device"},
        {2 * G + 4096, 4096, {}, "2147487744 lies in a chunk whose data is striped across devices"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.logical);
        std::vector<uint8_t> block(sizeof(fiemap) + sizeof(fiemap_extent));
        auto *in = reinterpret_cast<fiemap *>(block.data());
        in->fm_mapped_extents = 1;
        in->fm_extents[0] = {M, r.logical, r.length, {}, last, {}};
        struct fiemap *raw = nullptr;
        const int code = chunk_map_split(&m.root, in, "/dev/x", &raw, &st);
        qv::heap_ptr<struct fiemap> out(raw);
        EXPECT_EQ(code, r.why ? 9 : 0) << st.message;
        EXPECT_EQ(st.message, r.why ? std::string("ERROR: /dev/x: btrfs address ") + r.why : st.message);
        std::vector<piece> got;
        for (uint32_t i = 0; out && i < out->fm_mapped_extents; ++i) {
            const fiemap_extent &e = out->fm_extents[i];
            got.emplace_back(e.fe_logical, e.fe_physical, e.fe_length, e.fe_flags);
        }
        EXPECT_EQ(got, r.pieces);
    }
}
