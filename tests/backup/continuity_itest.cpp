// SPDX-License-Identifier: GPL-2.0-or-later
// Incrementals that cannot trust the changelog run as a resync against the repository's checksums
// and still make points equal to the device: a tracking gap, a changelog that misses changes, a
// resync asked for by hand and cut short. The device is written raw and nothing is mounted, so its
// bytes after a backup are what that backup's snapshot held.
#include <gtest/gtest.h>

#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;

constexpr auto npos = std::string::npos;

TEST(Continuity, GapsMissedChangesAndCutResyncsEndInPointsEqualToTheDevice)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    std::vector<std::string> at_point;
    const auto take = [&](const std::string &expect) {
        auto r = d.qvctl("backup " + d.dev + " " + d.repo);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(expect), npos) << r.out;
        at_point.push_back(d.bytes());
        return d.chain().back();
    };
    d.write(10, 100, 'a');
    take("point 1 (base)");

    // Written while untracked: the changelog after the new attach knows only block 700.
    ASSERT_EQ(d.qvctl("detach " + d.dev).status, 0);
    d.write(500, 50, 'g');
    ASSERT_EQ(d.qvctl("attach " + d.dev).status, 0);
    simtest::map_all_stores(d.dev);
    d.write(700, 1, 'h');
    auto gap = take("runs as a resync: the device was attached again since point 1");
    EXPECT_TRUE(gap.resync);
    EXPECT_EQ(gap.differing, 51u);

    d.write(800, 5, 'i');
    auto plain = take("point 3 (incremental), 5 blocks copied");
    EXPECT_EQ(plain.spot_checked, 1024u);

    // A changelog that leaves out half of the changes: only the spot check can see it.
    d.sim.quirk("changelog-omit 1000");
    d.write(1000, 2000, 'k');
    auto missed = take("runs as a resync: the spot check found ");
    d.sim.quirk_clear();
    EXPECT_EQ(missed.kind, "resync");
    EXPECT_EQ(missed.differing, 1000u);

    // A resync asked for and cut short: the next backup resyncs though nothing asks for it.
    d.write(3500, 1, 'l');
    auto cut = d.cut_short(d.backup() + " --resync", SIGINT, "resync from snapshot");
    EXPECT_EQ(cut.status, 4) << cut.out;
    EXPECT_FALSE(d.snapshot_held());
    take("runs as a resync: backup 6, a resync, did not finish");

    for (std::size_t p = 0; p < at_point.size(); ++p)
        d.expect_point(p + 1, at_point[p]);
}

}  // namespace
