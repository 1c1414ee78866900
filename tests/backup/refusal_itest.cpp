// SPDX-License-Identifier: GPL-2.0-or-later
// Backups refused before a snapshot exists and before IMAGE is touched: a device that is not the
// chain's, a target on the device itself or without room; and links planted by another user at the
// paths a backup writes, which are never written through.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "../sim/fs_helpers.h"
#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;
using simtest::read_file;

constexpr auto npos = std::string::npos;
constexpr uid_t other_user = 65534;

// Refusals before any snapshot exists and before IMAGE is touched, each with what is wrong.
TEST(Refusal, WhatIsMissingOrWrongIsNamedBeforeAnySnapshot)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    std::string bare = d.sim.disk("8M"), unmapped = d.sim.disk("8M");
    ASSERT_FALSE(bare.empty() || unmapped.empty());
    ASSERT_EQ(simtest::attach(unmapped).code, 0u);
    simtest::mount_guard small("tmpfs", d.dir.file("small"), "size=4m -t tmpfs");
    ASSERT_TRUE(small.ok()) << small.error();
    const std::string held = simtest::pattern(1 << 20, 7), cramped = d.dir.write("small/image", held);
    const std::string on = d.dir.file("mnt/image"), other = d.dir.file("other");
    struct refusal {
        std::string device, image;
        int status;
        std::string message;
        bool mounted = false;
    };
    const refusal cases[] = {
        {d.dev, d.image + " --incremental", 2, "holds no complete base image"},
        {bare, other, 19, "run \"qvctl attach " + bare + "\" first"},
        {unmapped, other, 6, "the changelog store of " + unmapped + " is not mapped"},
        {d.dev, cramped, 28, "it needs 16777216 bytes, " + cramped + " already holds 1048576"},
        {d.dev, on, 22, on + " lies on " + d.dev, true},
    };
    for (const refusal &c : cases) {
        std::optional<simtest::mount_guard> mount;
        if (c.mounted)
            mount.emplace(d.dev, d.dir.file("mnt"));
        auto r = d.qvctl("backup " + c.device + " " + c.image);
        EXPECT_EQ(r.status, c.status) << c.image << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), npos) << r.out;
        EXPECT_FALSE(d.snapshot_held());
    }
    EXPECT_TRUE(read_file(cramped) == held);
    EXPECT_FALSE(std::filesystem::exists(on));
    EXPECT_FALSE(std::filesystem::exists(d.image) || std::filesystem::exists(other));

    // Someone else's snapshot is refused and left held.
    ASSERT_EQ(d.qvctl("backup " + d.dev + " " + d.image).status, 0);
    ASSERT_NE(d.snapshot(), "");
    auto busy = d.qvctl("backup " + d.dev + " " + d.image);
    EXPECT_EQ(busy.status, 16) << busy.out;
    EXPECT_TRUE(d.snapshot_held());
    d.cancel();

    // Another filesystem on the device than the chain's: refused, unless asked to rewrite the image.
    qvtest::sh_ok("mkfs.ext4 -q -F " + d.dev);
    auto refused = d.qvctl("backup " + d.dev + " " + d.image + " --incremental");
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_NE(refused.out.find("holds filesystem UUID "), npos) << refused.out;
    EXPECT_FALSE(d.snapshot_held());
    EXPECT_EQ(d.chain().size(), 1u) << "nothing recorded";
    auto rewritten = d.qvctl("backup " + d.dev + " " + d.image + " --incremental --resync");
    EXPECT_EQ(rewritten.status, 0) << rewritten.out;
    std::string snap = d.snapshot();
    EXPECT_TRUE(read_file(d.image) == read_file(snap));
    d.cancel();
}

// Links planted by another user in a world-writable folder at each path a backup writes: the image,
// the manifest (never read or written through a link; the fixed temporary name of earlier
// versions is never opened), and the image tool's per-block files.
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
    const std::string backup = backuptest::qvctl_bin + " backup " + d.dev + " " + image;
    struct plant {
        std::string at;
        bool hard;
        std::string command;
        int status;
        std::string message;
    };
    const plant cases[] = {
        {image, false, backup, 13, image + " is a symbolic link of another user"},
        {image, true, backup, 13, "is a file with other hard links"},
        {image + ".chain", false, backup, 13, image + ".chain is a symbolic link of another user"},
        {image + ".chain.new", false, backup, 0, "succeeded"},  // a fixed name of earlier versions
        {shared + "/blocks.80", false, backuptest::qvsnap_bin + " -p -i -s " + d.dev + " " + shared + "/blocks", 13,
         shared + "/blocks.80 is a symbolic link of another user"},
    };
    for (const plant &c : cases) {
        if (c.command.starts_with(backuptest::qvsnap_bin)) {
            d.write(10, 1, 'x');
            ASSERT_NE(d.snapshot(), "");
        }
        if (c.hard) {
            ASSERT_EQ(::link(victim.c_str(), c.at.c_str()), 0);
        } else {
            ASSERT_EQ(::symlink(victim.c_str(), c.at.c_str()), 0) << c.at;
            ASSERT_EQ(::lchown(c.at.c_str(), other_user, other_user), 0) << c.at;
        }
        auto r = qvtest::sh(c.command);
        EXPECT_EQ(r.status, c.status) << c.at << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), npos) << r.out;
        if (c.status == 0) {
            struct stat sb;
            ASSERT_EQ(::lstat((image + ".chain").c_str(), &sb), 0);
            EXPECT_TRUE(S_ISREG(sb.st_mode));
        } else {
            ASSERT_EQ(::unlink(c.at.c_str()), 0);
        }
    }
    d.cancel();
    EXPECT_EQ(read_file(victim), "root's alone\n");
}

}  // namespace
