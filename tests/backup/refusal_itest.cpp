// SPDX-License-Identifier: GPL-2.0-or-later
// Backups refused before a snapshot exists and before IMAGE is touched: a device that is not the
// chain's, a target on the device itself or without room; and links planted by another user at the
// paths a backup writes, which are never written through.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../sim/fs_helpers.h"
#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;
using tooltest::read_file;

constexpr auto npos = std::string::npos;
constexpr uid_t other_user = 65534;

// No snapshot, as the module and `qvctl list` tell.
void expect_no_snapshot(backup_disk &d)
{
    EXPECT_FALSE(d.snapshot_held());
    auto list = d.qvctl("list");
    EXPECT_NE(list.out.find(d.dev), npos) << list.out;
    EXPECT_EQ(list.out.find("snapshot"), npos) << list.out;
}

TEST(Refusal, AnotherFilesystemATargetOnTheDeviceAndNoRoomAreRefusedBeforeAnySnapshot)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    ASSERT_EQ(d.qvctl("backup " + d.dev + " " + d.image).status, 0);
    const std::string old_uuid = d.chain().back().uuid;
    ASSERT_FALSE(old_uuid.empty());

    qvtest::sh_ok("mkfs.ext4 -q -F " + d.dev);
    const std::string new_uuid = qvtest::trimmed(qvtest::sh_ok("blkid -p -s UUID -o value " + d.dev));
    auto other = d.qvctl("backup " + d.dev + " " + d.image + " --incremental");
    EXPECT_EQ(other.status, 2) << other.out;
    EXPECT_NE(other.out.find("holds filesystem UUID " + new_uuid + ", but backup 1 of " + d.image + " read UUID " +
                             old_uuid + "; take a base backup, or --resync to rewrite " + d.image + " from the device"),
              npos)
        << other.out;
    expect_no_snapshot(d);
    EXPECT_EQ(d.chain().size(), 1u) << "nothing recorded";
    auto rewritten = d.qvctl("backup " + d.dev + " " + d.image + " --incremental --resync");
    EXPECT_EQ(rewritten.status, 0) << rewritten.out;
    std::string snap = d.snapshot();
    EXPECT_TRUE(read_file(d.image) == read_file(snap));
    d.cancel();

    simtest::mount_guard on(d.dev, d.dir.file("mnt"));
    ASSERT_TRUE(on.ok()) << on.error();
    auto self = d.qvctl("backup " + d.dev + " " + on.file("image"));
    EXPECT_EQ(self.status, 22) << self.out;
    EXPECT_NE(self.out.find("ERROR: " + on.file("image") + " lies on " + d.dev + ", the device being backed up"), npos)
        << self.out;
    EXPECT_FALSE(std::filesystem::exists(on.file("image")));
    expect_no_snapshot(d);
    on.unmount();

    simtest::mount_guard small("tmpfs", d.dir.file("small"), "size=4m -t tmpfs");
    ASSERT_TRUE(small.ok()) << small.error();
    const std::string held = tooltest::pattern(1 << 20, 7);
    std::string image = d.dir.file("small/image");
    d.dir.write("small/image", held);
    auto full = d.qvctl("backup " + d.dev + " " + image);
    EXPECT_EQ(full.status, 28) << full.out;
    EXPECT_NE(full.out.find("it needs 16777216 bytes, " + image + " already holds 1048576, and "), npos) << full.out;
    EXPECT_TRUE(read_file(image) == held);
    expect_no_snapshot(d);
}

// A symbolic link owned by the other user.
void plant(const std::string &at, const std::string &target)
{
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
    ASSERT_EQ(::lchown(at.c_str(), other_user, other_user), 0) << at;
}

TEST(LinkSafety, LinksOfAnotherUserAtEveryPathABackupWritesLeaveTheirTargetsUnchanged)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    const std::string shared = d.dir.file("shared"), image = shared + "/image";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string victim = d.dir.write("victim", "root's alone\n");
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);

    plant(image, victim);
    auto linked = d.qvctl("backup " + d.dev + " " + image);
    EXPECT_EQ(linked.status, 13) << linked.out;
    EXPECT_NE(linked.out.find("ERROR: " + image + " is a symbolic link of another user in the world-writable folder " +
                              shared + "; it is not written"),
              npos)
        << linked.out;
    ASSERT_EQ(::unlink(image.c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), image.c_str()), 0);
    auto hard = d.qvctl("backup " + d.dev + " " + image);
    EXPECT_EQ(hard.status, 13) << hard.out;
    EXPECT_NE(hard.out.find("is a file with other hard links"), npos) << hard.out;
    ASSERT_EQ(::unlink(image.c_str()), 0);
    expect_no_snapshot(d);

    // The manifest is neither read nor written through a link; the fixed temporary name of earlier
    // versions is never opened.
    plant(image + ".chain", victim);
    auto manifest = d.qvctl("backup " + d.dev + " " + image);
    EXPECT_EQ(manifest.status, 13) << manifest.out;
    EXPECT_NE(manifest.out.find(image + ".chain is a symbolic link of another user"), npos) << manifest.out;
    ASSERT_EQ(::unlink((image + ".chain").c_str()), 0);
    plant(image + ".chain.new", victim);
    auto ok = d.qvctl("backup " + d.dev + " " + image);
    EXPECT_EQ(ok.status, 0) << ok.out;
    struct stat sb;
    ASSERT_EQ(::lstat((image + ".chain").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISREG(sb.st_mode));

    // The image tool's per-block files.
    d.write(10, 1, 'x');
    ASSERT_NE(d.snapshot(), "");
    plant(shared + "/blocks.80", victim);
    auto blocks = qvtest::sh(backuptest::qvsnap_bin + " -p -i -s " + d.dev + " " + shared + "/blocks");
    EXPECT_EQ(blocks.status, 13) << blocks.out;
    EXPECT_NE(blocks.out.find(shared + "/blocks.80 is a symbolic link of another user"), npos) << blocks.out;
    d.cancel();

    EXPECT_EQ(read_file(victim), "root's alone\n");
}

}  // namespace
