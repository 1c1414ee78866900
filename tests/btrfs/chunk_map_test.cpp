#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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
