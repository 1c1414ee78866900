// SPDX-License-Identifier: GPL-2.0-or-later
// Backups refused before a snapshot exists and before the repository is touched: a device that is
// not ready or not the repository's, a repository on the device itself, a repository that is a
// link or that others could write; and links planted by another user where the image tool writes.
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

TEST(Refusal, WhatIsMissingOrWrongIsNamedBeforeAnySnapshot)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    std::string bare = d.sim.disk("8M"), unmapped = d.sim.disk("8M");
    ASSERT_FALSE(bare.empty() || unmapped.empty());
    ASSERT_EQ(simtest::attach(unmapped).code, 0u);
    const std::string on = d.dir.file("mnt/repo"), other = d.dir.file("other"), link = d.dir.file("link");
    const std::string theirs = d.dir.file("theirs"), open = d.dir.file("open");
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(::chown(theirs.c_str(), other_user, other_user), 0);
    ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(other.c_str(), link.c_str()), 0);
    struct refusal {
        std::string device, repo;
        int status;
        std::string message;
        bool mounted = false;
    };
    const refusal cases[] = {
        {bare, other, 19, "run \"qvctl attach " + bare + "\" first"},
        {unmapped, other, 6, "the changelog store of " + unmapped + " is not mapped"},
        {d.dev, on, 22, on + " lies on " + d.dev, true},
        {d.dev, link, 40, link + " is a symbolic link; a repository is a folder of its own"},
        {d.dev, theirs, 1, theirs + " belongs to user 65534"},
        {d.dev, open, 1, open + " can be written by other users"},
    };
    for (const refusal &c : cases) {
        std::optional<simtest::mount_guard> mount;
        if (c.mounted)
            mount.emplace(d.dev, d.dir.file("mnt"));
        auto r = d.qvctl("backup " + c.device + " " + c.repo);
        EXPECT_EQ(r.status, c.status) << c.repo << ": " << r.out;
        EXPECT_NE(r.out.find(c.message), npos) << r.out;
        EXPECT_FALSE(d.snapshot_held());
    }
    EXPECT_FALSE(std::filesystem::exists(on));
    for (const std::string &folder : {other, theirs, open})
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << folder;

    // Someone else's snapshot is refused and left held.
    ASSERT_EQ(d.qvctl("backup " + d.dev + " " + d.repo).status, 0);
    ASSERT_NE(d.snapshot(), "");
    auto busy = d.qvctl("backup " + d.dev + " " + d.repo);
    EXPECT_EQ(busy.status, 16) << busy.out;
    EXPECT_TRUE(d.snapshot_held());
    d.cancel();

    // Another filesystem on the device than the repository's: refused, unless a resync is asked for.
    qvtest::sh_ok("mkfs.ext4 -q -F " + d.dev);
    auto refused = d.qvctl("backup " + d.dev + " " + d.repo);
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_NE(refused.out.find("holds filesystem UUID "), npos) << refused.out;
    EXPECT_FALSE(d.snapshot_held());
    EXPECT_EQ(d.chain().size(), 1u) << "nothing recorded";
    auto rewritten = d.qvctl("backup " + d.dev + " " + d.repo + " --resync");
    EXPECT_EQ(rewritten.status, 0) << rewritten.out;
    d.expect_point(2, d.bytes());
}

// A link planted by another user in a world-writable folder at a per-block file of the image tool
// is never written through.
TEST(LinkSafety, ALinkOfAnotherUserAtAPerBlockFileLeavesItsTargetUnchanged)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    const std::string shared = d.dir.file("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string victim = d.dir.write("victim", "root's alone\n");
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    const std::string at = shared + "/blocks.80";
    d.write(10, 1, 'x');
    ASSERT_NE(d.snapshot(), "");
    ASSERT_EQ(::symlink(victim.c_str(), at.c_str()), 0);
    ASSERT_EQ(::lchown(at.c_str(), other_user, other_user), 0);
    auto r = qvtest::sh(backuptest::qvsnap_bin + " -p -i -s " + d.dev + " " + shared + "/blocks");
    EXPECT_EQ(r.status, 13) << r.out;
    EXPECT_NE(r.out.find(at + " is a symbolic link of another user"), npos) << r.out;
    d.cancel();
    EXPECT_EQ(read_file(victim), "root's alone\n");
}

}  // namespace
