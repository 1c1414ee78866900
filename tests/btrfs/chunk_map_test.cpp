// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bytes.h"
#include "heap_block.h"

#include "qvctl_internal.h"

namespace {

struct map_owner {
    chunk_map root = nullptr;
    ~map_owner() { chunk_map_free(&root); }
};

}  // namespace

TEST(ChunkMap, TranslatesInsideARangeAndLeavesOthersAlone)
{
    map_owner m;
    qvctl_status st{};
    ASSERT_EQ(chunk_map_insert(&m.root, 298844160, 307232768, 1073741824, &st), 0u);
    ASSERT_EQ(chunk_map_insert(&m.root, 22020096, 22020096, 8388608, &st), 0u);
    EXPECT_EQ(chunk_map_translate(&m.root, 298848256), 307236864u);
    EXPECT_EQ(chunk_map_translate(&m.root, 298844160), 307232768u);
    EXPECT_EQ(chunk_map_translate(&m.root, 1372585984 - 1), 307232768u + 1073741824 - 1);
    EXPECT_EQ(chunk_map_translate(&m.root, 1372585984), 1372585984u);  // the chunk's end is outside it
    EXPECT_EQ(chunk_map_translate(&m.root, 4096), 4096u);
    EXPECT_EQ(chunk_map_translate(&m.root, ~uint64_t{0}), ~uint64_t{0});
}

TEST(ChunkMap, FirstRecordForARangeWinsAndDumpIsOrdered)
{
    map_owner m;
    qvctl_status st{};
    ASSERT_EQ(chunk_map_insert(&m.root, 30408704, 38797312, 268435456, &st), 0u);
    ASSERT_EQ(chunk_map_insert(&m.root, 22020096, 22020096, 8388608, &st), 0u);
    ASSERT_EQ(chunk_map_insert(&m.root, 22020096, 999, 8388608, &st), 0u);   // repeat of a system chunk
    ASSERT_EQ(chunk_map_insert(&m.root, 22024192, 777, 4096, &st), 0u);      // starts inside it
    EXPECT_EQ(chunk_map_translate(&m.root, 22020096 + 10), 22020096u + 10);
    EXPECT_EQ(chunk_map_translate(&m.root, 30408704 + 5), 38797312u + 5);

    testing::internal::CaptureStdout();
    chunk_map_dump(&m.root);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "logical = 22020096, physical = 22020096, length = 8388608\n"
              "logical = 30408704, physical = 38797312, length = 268435456\n");
    chunk_map_free(&m.root);
    EXPECT_EQ(m.root, nullptr);
    chunk_map_free(nullptr);
}

TEST(ChunkMap, CompareIsUnsignedAndRangeBased)
{
    const chunk_map_entry high{~uint64_t{0} - 10, 0, 0}, tree{~uint64_t{0} - 20, 0, 20};
    EXPECT_EQ(chunk_map_compare(&high, &tree), 0);
    const chunk_map_entry low{5, 0, 0}, zero_len{5, 0, 0}, above{6, 0, 0};
    EXPECT_EQ(chunk_map_compare(&low, &zero_len), 0);
    EXPECT_EQ(chunk_map_compare(&above, &zero_len), 1);
    EXPECT_EQ(chunk_map_compare(&low, &high), -1);
}

namespace {

// A chunk item of `type` with one stripe per devid, stripe i at device offset (i + 1) MiB.
std::vector<uint8_t> chunk_item(uint64_t type, std::vector<uint64_t> devids)
{
    std::vector<uint8_t> c(48 + 32 * devids.size());
    qv::store_le<uint64_t>(c, 0, 1 << 30);
    qv::store_le<uint64_t>(c, 24, type);
    qv::store_le<uint16_t>(c, 44, static_cast<uint16_t>(devids.size()));
    for (size_t i = 0; i < devids.size(); ++i) {
        qv::store_le<uint64_t>(c, 48 + 32 * i, devids[i]);
        qv::store_le<uint64_t>(c, 56 + 32 * i, (i + 1) << 20);
    }
    return c;
}

}  // namespace

// Device 2 of a multi-device filesystem: whole-copy profiles go through its own stripe, striped
// ones are refused unless they have a single stripe, and chunks kept elsewhere are refused.
TEST(ChunkMap, StripeOnTheMappedDeviceByProfile)
{
    constexpr uint64_t data = 1, spread = BTRFS_CHUNK_SPREAD, absent = BTRFS_CHUNK_ABSENT;
    struct row {
        const char *profile;
        uint64_t type;
        std::vector<uint64_t> devids;
        uint64_t physical;
    } rows[] = {
        {"single here", data, {2}, 1 << 20},
        {"single elsewhere", data, {1}, absent},
        {"dup", data | 1 << 5, {2, 2}, 1 << 20},
        {"raid1", data | 1 << 4, {1, 2}, 2 << 20},
        {"raid1 elsewhere", data | 1 << 4, {1, 3}, absent},
        {"raid1c3", data | 1 << 9, {3, 1, 2}, 3 << 20},
        {"raid0", data | 1 << 3, {1, 2}, spread},
        {"raid0 of one stripe", data | 1 << 3, {2}, 1 << 20},
        {"raid10", data | 1 << 6, {1, 2, 3, 4}, spread},
        {"raid5", data | 1 << 7, {2, 1, 3}, spread},
    };
    for (const row &r : rows) {
        const auto item = chunk_item(r.type, r.devids);
        EXPECT_EQ(btrfs_chunk_physical(item.data(), static_cast<uint32_t>(item.size()), 2), r.physical) << r.profile;
    }

    // A refused chunk fails the lookup of any address inside it, naming where and the address.
    map_owner m;
    qvctl_status st{};
    ASSERT_EQ(chunk_map_insert(&m.root, 1 << 30, spread, 1 << 30, &st), 0u);
    ASSERT_EQ(chunk_map_insert(&m.root, 2u << 30, absent, 1 << 30, &st), 0u);
    ASSERT_EQ(chunk_map_insert(&m.root, 3u << 30, 5 << 20, 1 << 30, &st), 0u);
    uint64_t physical = 7;
    EXPECT_EQ(chunk_map_locate(&m.root, (1 << 30) + 4096, "/dev/x", &physical, &st), 9u);
    EXPECT_STREQ(st.message, "ERROR: /dev/x: btrfs address 1073745920 lies in a chunk whose data is striped across devices");
    EXPECT_EQ(chunk_map_locate(&m.root, (2u << 30) + 4096, "/dev/x", &physical, &st), 9u);
    EXPECT_STREQ(st.message, "ERROR: /dev/x: btrfs address 2147487744 lies in a chunk with no stripe on this device");
    EXPECT_EQ(physical, 7u);
    EXPECT_EQ(chunk_map_locate(&m.root, (3u << 30) + 4096, "/dev/x", &physical, &st), 0u);
    EXPECT_EQ(physical, (5u << 20) + 4096);
    EXPECT_EQ(chunk_map_locate(&m.root, 4096, "/dev/x", &physical, &st), 0u);
    EXPECT_EQ(physical, 4096u);
}

// An extent that runs past its chunk's end continues in the chunk that follows it in the logical
// space, wherever that chunk's stripe lies: each piece is translated through its own chunk.
TEST(ChunkMapSplit, ExtentsAreCutAtChunkEnds)
{
    constexpr uint64_t G = 1ull << 30, M = 1ull << 20, absent = BTRFS_CHUNK_ABSENT;
    map_owner m;
    qvctl_status st{};
    // Two adjacent chunks stored apart, one with no stripe here, a gap, then one more.
    for (const chunk_map_entry &c : {chunk_map_entry{G, 100 * M, 8 * M}, chunk_map_entry{G + 8 * M, 300 * M, 8 * M},
                                     chunk_map_entry{G + 16 * M, absent, 8 * M}, chunk_map_entry{G + 32 * M, 500 * M, 8 * M}})
        ASSERT_EQ(chunk_map_insert(&m.root, c.logical, c.physical, c.length, &st), 0u);

    struct piece {
        uint64_t file, physical, length;
        uint32_t flags;
        bool operator==(const piece &) const = default;
    };
    struct row {
        const char *what;
        uint64_t logical, length;
        std::vector<piece> pieces;  // the extent sits at file offset 1 MiB, flagged last
    } rows[] = {
        {"inside one chunk", G + 4096, 8192, {{M, 100 * M + 4096, 8192, FIEMAP_EXTENT_LAST}}},
        {"into the adjacent chunk", G + 8 * M - 4096, 12288,
         {{M, 100 * M + 8 * M - 4096, 4096, 0}, {M + 4096, 300 * M, 8192, FIEMAP_EXTENT_LAST}}},
        {"from a gap into a chunk", G + 28 * M, 8 * M,
         {{M, G + 28 * M, 4 * M, 0}, {5 * M, 500 * M, 4 * M, FIEMAP_EXTENT_LAST}}},
        {"in no chunk", 4096, 4096, {{M, 4096, 4096, FIEMAP_EXTENT_LAST}}},
        {"of no length", G + 4096, 0, {{M, 100 * M + 4096, 0, FIEMAP_EXTENT_LAST}}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint8_t> block(sizeof(fiemap) + sizeof(fiemap_extent));
        auto *in = reinterpret_cast<fiemap *>(block.data());
        in->fm_mapped_extents = 1;
        in->fm_extents[0] = {M, r.logical, r.length, {}, FIEMAP_EXTENT_LAST, {}};
        const std::vector<uint8_t> before = block;
        struct fiemap *raw = nullptr;
        ASSERT_EQ(chunk_map_split(&m.root, in, "/dev/x", &raw, &st), 0u) << st.message;
        qv::heap_ptr<struct fiemap> out(raw);
        std::vector<piece> got;
        for (uint32_t i = 0; i < out->fm_mapped_extents; ++i) {
            const fiemap_extent &e = out->fm_extents[i];
            got.push_back({e.fe_logical, e.fe_physical, e.fe_length, e.fe_flags});
        }
        EXPECT_EQ(got, r.pieces);
        EXPECT_EQ(block, before);
    }

    // A piece in a chunk with no stripe here fails the whole map, naming where that piece starts.
    std::vector<uint8_t> block(sizeof(fiemap) + 2 * sizeof(fiemap_extent));
    auto *in = reinterpret_cast<fiemap *>(block.data());
    in->fm_mapped_extents = 2;
    in->fm_extents[0] = {0, G, 4096, {}, 0, {}};
    in->fm_extents[1] = {4096, G + 12 * M, 8 * M, {}, 0, {}};
    struct fiemap *out = nullptr;
    EXPECT_EQ(chunk_map_split(&m.root, in, "/dev/x", &out, &st), 9u);
    EXPECT_STREQ(st.message, "ERROR: /dev/x: btrfs address 1090519040 lies in a chunk with no stripe on this device");
    EXPECT_EQ(out, nullptr);
}
