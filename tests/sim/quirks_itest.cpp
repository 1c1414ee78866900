// SPDX-License-Identifier: GPL-2.0-or-later
// The quirks of a careless module, each seen to take effect (and to go with `quirk clear`). The
// quirks that the program's and qvctl's own tests lean on (changelog-excess, no-fs-type, eio-from)
// are proven there.
#include <gtest/gtest.h>

#include <cstring>

#include "capability.h"
#include "fs_helpers.h"
#include "qvsim.h"
#include "sim_helpers.h"

using namespace simtest;

namespace {

std::uint32_t changelog_count(const std::string &dev, std::uint32_t cap)
{
    return send(7, dev, qv::req::block_length(152, cap, 16), [&](qv::mut_bytes b) {
               qv::store_le<std::uint32_t>(b, 144, cap);
           }).at<std::uint32_t>(144);
}

bool terminated(const answer &a, std::size_t off) { return std::memchr(a.block.view().data() + off, 0, 128) != nullptr; }

}  // namespace

TEST(SimQuirks, AnswersOverstepTheirBounds)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    ASSERT_EQ(attach(dev).code, 0u);
    map_all_stores(dev);
    ASSERT_EQ(phase(dev, 0).code, 0u);  // a watch for the one mark below
    write_blocks(dev, {0, 1, 5});
    write_blocks(dev, {10}, 'q', 0xd6dc531a1a93dc11ull);
    ASSERT_EQ(phase(dev, 1).code, 0u);
    auto fetch = [&] { return phase(dev, 2); };
    auto store_count = [&] { return send(11, dev).at<std::uint32_t>(144); };
    auto list_count = [] { return device_list(~0u).at<std::uint32_t>(8); };

    sim.quirk("overcount");
    EXPECT_EQ(list_count(), 1001u);
    EXPECT_EQ(changelog_count(dev, 10), 1003u);  // {0, 2}, {40, 1}, {80, 1}
    EXPECT_EQ(fetch().at<std::uint32_t>(140), 1001u);
    EXPECT_EQ(fetch().at<std::uint64_t>(144), 80u);
    EXPECT_EQ(store_count(), 1001u);
    sim.quirk_clear();
    EXPECT_EQ(list_count(), 1u);
    EXPECT_EQ(changelog_count(dev, 10), 3u);
    EXPECT_EQ(fetch().at<std::uint32_t>(140), 1u);
    EXPECT_EQ(store_count(), 1u);

    sim.quirk("changelog-twice");
    EXPECT_EQ(changelog(dev, 0, 10), (std::vector<run>{{0, 2}, {0, 2}, {40, 1}, {80, 1}}));
    sim.quirk_clear();

    sim.quirk("unterminated");
    auto start = send(4, dev);
    ASSERT_EQ(start.code, 0u);
    EXPECT_FALSE(terminated(start, 137));
    auto info = send(2, dev);
    for (std::size_t text = 8; text < 520; text += 128)
        EXPECT_FALSE(terminated(info, text)) << "text at " << text;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(info.block.view().data()) + 8, dev.size()), dev);
    EXPECT_FALSE(terminated(send(6, dev), 136));
    sim.quirk_clear();
    EXPECT_TRUE(terminated(send(2, dev), 8));
    EXPECT_TRUE(terminated(send(6, dev), 136));
    EXPECT_EQ(send(5, dev).code, 0u);
}
