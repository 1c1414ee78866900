// SPDX-License-Identifier: GPL-2.0-or-later
// Write tracking, changelog paging and the snapshot life cycle of the stand-in. The device list is
// proven through qvctl's list, which asks for the count and then the records; a second attach or
// start, and the snapshot's name, through qvctl's attach and snapshot tests.
#include <gtest/gtest.h>

#include "capability.h"
#include "fs_helpers.h"
#include "qvsim.h"
#include "sim_helpers.h"

using namespace simtest;

TEST(SimChangelog, PagesByStartAndMergesBackOnCancel)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    ASSERT_TRUE(qvtest::qvsim_preloaded());
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    ASSERT_EQ(attach(dev).code, 0u);
    EXPECT_EQ(changed_blocks(dev), 0u);

    write_blocks(dev, {0, 1, 2, 10, 20});
    EXPECT_EQ(changed_blocks(dev), 5u);
    EXPECT_EQ(changelog(dev, 0, 10), (std::vector<run>{{0, 3}, {80, 1}, {160, 1}}));
    EXPECT_EQ(changelog(dev, 8, 10), (std::vector<run>{{16, 1}, {80, 1}, {160, 1}}));
    EXPECT_EQ(changelog(dev, 0, 1), (std::vector<run>{{0, 3}}));
    EXPECT_EQ(changelog(dev, 160, 10), (std::vector<run>{}));

    map_all_stores(dev);
    auto s = send(4, dev);
    ASSERT_EQ(s.code, 0u) << s.message;
    std::string name = s.text(137);

    // Writes during the snapshot go to the fresh changelog; the snapshot's lists the old ones.
    write_blocks(dev, {30});
    EXPECT_EQ(changed_blocks(dev), 5u);
    auto info = send(2, dev);
    EXPECT_EQ(info.text(264), "snapshot");
    EXPECT_EQ(info.text(136), name);
    EXPECT_EQ(info.at<std::uint32_t>(520), 15u);

    auto cancel = send(5, dev, 528, [](qv::mut_bytes b) { b[136] = 1; });
    ASSERT_EQ(cancel.code, 0u);
    EXPECT_EQ(changed_blocks(dev), 6u);

    ASSERT_EQ(send(4, dev).code, 0u);
    EXPECT_EQ(changelog(dev, 0, 10), (std::vector<run>{{0, 3}, {80, 1}, {160, 1}, {240, 1}}));
    ASSERT_EQ(send(5, dev).code, 0u);  // complete consumes it
    EXPECT_EQ(changed_blocks(dev), 0u);
    EXPECT_EQ(send(1, dev).code, 0u);
    EXPECT_EQ(send(1, dev).code, 19u);
}
