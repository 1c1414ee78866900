// SPDX-License-Identifier: GPL-2.0-or-later
// Incrementals that cannot trust the changelog end in a resync equal to the snapshot: a tracking
// gap, an older copy of the image, a changelog that misses changes, a resync asked for by hand.
// The device is written raw and nothing is mounted, so a later snapshot holds exactly the bytes
// that the backup's own snapshot held.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;
using simtest::read_file;

constexpr auto npos = std::string::npos;

void expect_equal_to_snapshot(backup_disk &d)
{
    std::string snap = d.snapshot();
    ASSERT_NE(snap, "");
    EXPECT_TRUE(read_file(d.image) == read_file(snap)) << "the image differs from a fresh snapshot";
    d.cancel();
}

qvctl_cli::chain_record last_record(backup_disk &d)
{
    auto chain = d.chain();
    return chain.empty() ? qvctl_cli::chain_record{} : chain.back();
}

TEST(Continuity, GapsOlderImagesAndMissedChangesEndInAResyncEqualToTheSnapshot)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    const std::string incremental = "backup " + d.dev + " " + d.image + " --incremental";
    d.write(10, 100, 'a');
    ASSERT_EQ(d.qvctl("backup " + d.dev + " " + d.image).status, 0);

    // Written while untracked: the changelog after the new attach knows only block 700.
    ASSERT_EQ(d.qvctl("detach " + d.dev).status, 0);
    d.write(500, 50, 'g');
    ASSERT_EQ(d.qvctl("attach " + d.dev).status, 0);
    simtest::map_all_stores(d.dev);
    d.write(700, 1, 'h');
    auto gap = d.qvctl(incremental + " --verify");
    ASSERT_EQ(gap.status, 0) << gap.out;
    EXPECT_NE(gap.out.find("runs as a resync: the device was attached again since backup 1"), npos) << gap.out;
    auto rec = last_record(d);
    EXPECT_TRUE(rec.resync && rec.verified);
    EXPECT_EQ(rec.differing, 51u);
    expect_equal_to_snapshot(d);

    // An older copy of the image put back in its place.
    std::filesystem::copy_file(d.image, d.dir.file("older"));
    d.write(800, 5, 'i');
    auto plain = d.qvctl(incremental);
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(last_record(d).blocks, 5u);
    EXPECT_EQ(last_record(d).spot_checked, 1024u);
    std::filesystem::rename(d.dir.file("older"), d.image);
    d.write(900, 2, 'j');
    auto older = d.qvctl(incremental);
    ASSERT_EQ(older.status, 0) << older.out;
    EXPECT_NE(older.out.find("runs as a resync: the image is not the file that backup 3 left"), npos) << older.out;
    EXPECT_EQ(last_record(d).differing, 7u) << "backup 3's blocks and the new ones";
    expect_equal_to_snapshot(d);

    // A changelog that leaves out half of the changes: only the spot check can see it.
    d.sim.quirk("changelog-omit 1000");
    d.write(1000, 2000, 'k');
    auto missed = d.qvctl(incremental);
    d.sim.quirk_clear();
    ASSERT_EQ(missed.status, 0) << missed.out;
    rec = last_record(d);
    EXPECT_TRUE(rec.resync);
    EXPECT_EQ(rec.why.rfind("the spot check found ", 0), 0u) << rec.why;
    EXPECT_EQ(rec.differing, 1000u);
    expect_equal_to_snapshot(d);

    // A block changed behind the chain's back, its modification time put back: --resync repairs it,
    // and when cut short, the next incremental goes on with it.
    struct stat before;
    ASSERT_EQ(::stat(d.image.c_str(), &before), 0);
    {
        qv::unique_fd fd(::open(d.image.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_EQ(::pwrite(fd.get(), "poked", 5, 3500 * 4096 + 7), 5);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(fd.get(), times), 0);
    }
    auto cut = d.cut_short(d.backup() + " --incremental --resync", SIGINT, "Performing resync snapshot");
    EXPECT_EQ(cut.status, 4) << cut.out;
    EXPECT_NE(cut.out.find("runs as a resync: asked for with --resync"), npos) << cut.out;
    EXPECT_FALSE(d.snapshot_held());
    backuptest::expect_marked(d.image, "resync " + d.dev);
    // The next incremental finishes what the cut one began, though nothing asks for it.
    auto fixed = d.qvctl(incremental);
    ASSERT_EQ(fixed.status, 0) << fixed.out;
    EXPECT_NE(fixed.out.find("runs as a resync: backup 6, a resync, did not finish"), npos) << fixed.out;
    EXPECT_EQ(last_record(d).differing, 1u);
    EXPECT_EQ(backuptest::mark_of(d.image), "");
    expect_equal_to_snapshot(d);
}

}  // namespace
