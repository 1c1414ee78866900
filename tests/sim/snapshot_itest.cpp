// A snapshot of a mounted ext4 filesystem keeps the content of the moment it was taken.
#include <gtest/gtest.h>

#include "capability.h"
#include "fs_helpers.h"
#include "qvsim.h"
#include "sim_helpers.h"
#include "temp_dir.h"

using namespace simtest;

TEST(SimSnapshot, KeepsTheOldContentWhileTheFilesystemChanges)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    qvtest::temp_dir tmp;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    qvtest::sh_ok("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + dev);
    mount_guard live(dev, tmp.file("live"));
    ASSERT_TRUE(live.ok()) << live.error();

    const std::string kept = pattern(1 << 20, 1), gone = pattern(40000, 2);
    ASSERT_TRUE(write_file(live.file("kept"), kept));
    ASSERT_TRUE(write_file(live.file("gone"), gone));
    qvtest::sh_ok("sync");
    auto map = fiemap_of(live.file("kept"));
    ASSERT_FALSE(map.empty());

    ASSERT_EQ(attach(dev, 3).code, 0u);
    map_all_stores(dev);
    auto start = send(4, dev);
    ASSERT_EQ(start.code, 0u) << start.message;
    std::string snap = "/dev/" + start.text(137);

    ASSERT_TRUE(write_file(live.file("kept"), pattern(1 << 20, 3)));
    ASSERT_EQ(::unlink(live.file("gone").c_str()), 0);
    ASSERT_TRUE(write_file(live.file("new"), pattern(8192, 4)));
    qvtest::sh_ok("sync");

    // The file's first block, overwritten in place on the disk, reads as before on the snapshot.
    std::uint64_t at = map[0].physical;
    EXPECT_EQ(read_device(dev, at, 4096), pattern(1 << 20, 3).substr(0, 4096));
    EXPECT_EQ(read_device(snap, at, 4096), kept.substr(0, 4096));
    EXPECT_GT(changed_blocks(dev), 0u);

    {
        mount_guard old(snap, tmp.file("snap"), "ro");
        ASSERT_TRUE(old.ok()) << old.error();
        EXPECT_EQ(read_file(old.file("kept")), kept);
        EXPECT_EQ(read_file(old.file("gone")), gone);
        EXPECT_NE(::access(old.file("new").c_str(), F_OK), 0);
    }
    EXPECT_EQ(read_file(live.file("kept")), pattern(1 << 20, 3));
    EXPECT_EQ(send(5, dev).code, 0u);
    EXPECT_NE(qvtest::sh("losetup " + snap).status, 0);  // the node stays, detached
}
