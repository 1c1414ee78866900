// SPDX-License-Identifier: GPL-2.0-or-later
// Store-map batches as the dump shows them, the registered extents read back, and the data store's
// unmapping. Registration through the library, and unmapping under a snapshot, are tested there.
#include <gtest/gtest.h>

#include "capability.h"
#include "qvsim.h"
#include "sim_helpers.h"

using namespace simtest;

namespace {

// A batch of `n` extents of 8 sectors, the i-th (counting over the whole store) at sector 1000 + 16 i.
answer batch(const std::string &dev, std::uint32_t kind, std::uint32_t flags, std::uint32_t first_index,
             std::uint32_t n)
{
    return map_extents(dev, kind, flags, n, 1000 + 16 * first_index, kind == 1 ? 2048 : 0);
}

answer store_extents(const std::string &dev, std::uint32_t kind, std::size_t length)
{
    return send(11, dev, length, [&](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 136, kind); });
}

bool has(const std::string &text, const std::string &line) { return text.find(line) != std::string::npos; }

}  // namespace

TEST(SimStore, DumpShowsEachBatchAndTheExtentsReadBack)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M", 2048);
    ASSERT_FALSE(dev.empty());
    ASSERT_EQ(attach(dev).code, 0u);

    // 500 metadata extents with the store flag 8: 246 (1 | 8), 246 (2), 8 (2 | 4).
    ASSERT_EQ(batch(dev, 2, 9, 0, 246).code, 0u);
    std::string open = sim.dump();
    EXPECT_TRUE(has(open, "  store metadata open param 0 flags 8 extents 246 sectors 1968\n"
                          "    batches 1 flags 9 extents 246\n")) << open;
    ASSERT_EQ(batch(dev, 2, 2, 246, 246).code, 0u);
    ASSERT_EQ(batch(dev, 2, 6, 492, 8).code, 0u);
    EXPECT_EQ(batch(dev, 2, 5, 0, 1).code, 17u);
    // One batch holding the whole store, and one with no extents, as a store without pieces is sent.
    ASSERT_EQ(batch(dev, 1, 5, 0, 2).code, 0u);
    ASSERT_EQ(batch(dev, 0, 1, 0, 246).code, 0u);
    ASSERT_EQ(batch(dev, 0, 6, 246, 0).code, 0u);

    std::string text = sim.dump();
    EXPECT_TRUE(has(text, "  store metadata mapped param 0 flags 8 extents 500 sectors 4000\n"
                          "    batches 3 flags 9,2,6 extents 246,246,8\n")) << text;
    EXPECT_TRUE(has(text, "  store data mapped param 2048 flags 0 extents 2 sectors 16\n"
                          "    batches 1 flags 5 extents 2\n")) << text;
    EXPECT_TRUE(has(text, "    batches 2 flags 1,6 extents 246,0\n")) << text;
    EXPECT_FALSE(has(text, "    extent ")) << text;
    std::string all = sim.dump(true);
    EXPECT_TRUE(has(all, "    batches 1 flags 5 extents 2\n    extent 1000 8\n    extent 1016 8\n")) << all;
    EXPECT_TRUE(has(all, "    extent 8984 8\n")) << all;  // the metadata store's last

    // A fixed block tells the count and holds what fits (the grown block is the library's test).
    auto few = store_extents(dev, 2, 528);
    ASSERT_EQ(few.code, 0u);
    EXPECT_EQ(few.at<std::uint32_t>(144), 500u);
    EXPECT_EQ(few.at<std::uint64_t>(152 + 16 * 22), 1000u + 16 * 22);
    EXPECT_EQ(store_extents(dev, 3, 528).code, 22u);

    // The data store goes; the other two stay.
    ASSERT_EQ(send(9, dev).code, 0u);
    EXPECT_EQ(send(9, dev).code, 195u);  // 707
    EXPECT_EQ(store_extents(dev, 1, 528).at<std::uint32_t>(144), 0u);
    EXPECT_FALSE(has(sim.dump(), "store data")) << sim.dump();
    EXPECT_EQ(send(2, dev).at<std::uint32_t>(520), 3u);
}

TEST(SimStore, BatchesOutOfOrderOrOutsideTheDiskAreRefused)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    EXPECT_EQ(batch(dev, 0, 5, 0, 1).code, 19u);
    EXPECT_EQ(store_extents(dev, 0, 528).code, 19u);
    EXPECT_EQ(send(9, dev).code, 19u);
    ASSERT_EQ(attach(dev).code, 0u);
    EXPECT_EQ(batch(dev, 0, 0, 0, 1).code, 22u);  // no batch bit
    EXPECT_EQ(batch(dev, 0, 4, 0, 1).code, 22u);  // nothing open
    EXPECT_EQ(batch(dev, 3, 5, 0, 1).code, 22u);  // no such kind
    EXPECT_EQ(map_store(dev, 0, 131064, 16).code, 22u);  // past the end of the disk
    auto crowded = send(8, dev, 528, [](qv::mut_bytes b) {
        qv::store_le<std::uint32_t>(b, 144, 30);  // 23 fit
        qv::store_le<std::uint32_t>(b, 148, 5);
    });
    EXPECT_EQ(crowded.code, 22u);
    std::string text = sim.dump();
    EXPECT_FALSE(has(text, "  store ")) << text;  // nothing of those was taken

    // A later batch outside the disk leaves the store open with what it had.
    ASSERT_EQ(batch(dev, 0, 1, 0, 3).code, 0u);
    EXPECT_EQ(map_store(dev, 0, 131072, 1, 6).code, 22u);
    text = sim.dump();
    EXPECT_TRUE(has(text, "  store changelog open param 0 flags 0 extents 3 sectors 24\n"
                          "    batches 1 flags 1 extents 3\n")) << text;
    ASSERT_EQ(batch(dev, 0, 6, 3, 1).code, 0u);
    EXPECT_TRUE(has(sim.dump(), "    batches 2 flags 1,6 extents 3,1\n"));
    EXPECT_EQ(send(2, dev).at<std::uint32_t>(520), 1u);
}
