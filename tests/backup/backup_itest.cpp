// SPDX-License-Identifier: GPL-2.0-or-later
// Backups against the stand-in: the image tool's lock, signals and mark, and qvctl backup and
// image verify through a chain of base and incremental backups, interrupted, killed and tampered with.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>
#include <regex>

#include "backup.h"
#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;
using backuptest::mark_of;
using simtest::read_file;

std::string results(const std::vector<qvctl_cli::chain_record> &chain)
{
    std::string s;
    for (auto &r : chain)
        s += std::to_string(r.seq) + " " + r.kind + " " + r.result + "\n";
    return s;
}

// The image tool's own run cut by SIGINT: a prefix copied and the image marked; a complete run then
// lifts the mark, and a run that finds the image locked by another leaves it alone.
TEST(QvsnapGuard, SigintLeavesAMarkedPrefixAndALockedOutputIsLeftAlone)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    std::string snap = d.snapshot();
    std::string expected = read_file(snap);
    qvtest::sh_ok("blockdev --flushbufs " + snap);
    auto run = d.cut_short(backuptest::qvsnap_bin + " " + d.dev + " " + d.image, SIGINT, " / 4096 (");
    EXPECT_EQ(run.status, 4) << run.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("ERROR: interrupted by signal 2 after (\\d+) of 4096 blocks")))
        << run.out;
    std::uint64_t copied = std::stoull(m[1].str());
    EXPECT_LT(copied, 4096u);
    std::string got = read_file(d.image);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got.compare(0, copied * 4096, expected, 0, copied * 4096) == 0) << "one worker: a prefix is copied";
    backuptest::expect_marked(d.image, "base " + d.dev + " 20");

    auto r = qvtest::sh(backuptest::qvsnap_bin + " -p " + d.dev + " " + d.image);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(d.image) == expected);
    EXPECT_EQ(mark_of(d.image), "") << "lifted once the image is on the disk";
    qv::unique_fd held(::open(d.image.c_str(), O_RDONLY | O_CLOEXEC));  // the lock a running copy holds
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    for (const std::string &cmd : {backuptest::qvsnap_bin + " -p " + d.dev + " " + d.image, d.backup()})
        EXPECT_EQ(qvtest::sh(cmd).status, 16) << cmd;
    EXPECT_TRUE(read_file(d.image) == expected) << "neither emptied nor written";
    d.cancel();
}

// A chain whose base is killed, with incrementals interrupted and killed: each next backup picks up
// what the cut one left, and the image ends equal to its snapshot.
TEST(Backup, ChainWithKilledAndInterruptedBackupsEndsEqualToItsSnapshot)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    d.write(10, 100, 'a');
    EXPECT_EQ(d.cut_short(d.backup(), SIGKILL, "Performing base snapshot").status, 128 + SIGKILL);
    EXPECT_TRUE(d.snapshot_held());
    EXPECT_EQ(results(d.chain()), "1 base started\n");
    auto base = qvtest::sh(d.backup());
    ASSERT_EQ(base.status, 0) << base.out;
    EXPECT_NE(base.out.find("succeeded: 4096 blocks, 16777216 bytes"), std::string::npos) << base.out;

    d.write(200, 20, 'b');
    auto first = d.qvctl("backup " + d.dev + " " + d.image + " --incremental -w 2 --verify");
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("succeeded: 20 blocks, 81920 bytes, verified"), std::string::npos) << first.out;

    // Scattered blocks on a slow snapshot device: the run is caught midway.
    d.write(300, 300, 'c', 12);
    auto cut = d.cut_short(d.backup() + " -i", SIGINT, "Performing incremental snapshot");
    EXPECT_EQ(cut.status, 4) << cut.out;
    EXPECT_FALSE(d.snapshot_held()) << "cancelled, so its blocks stay in the changelog";
    backuptest::expect_marked(d.image, "incremental ");
    d.write(3001, 5, 'd');
    auto resumed = d.qvctl("backup " + d.dev + " " + d.image + " --incremental --verify --json");
    ASSERT_EQ(resumed.status, 0) << resumed.out;
    auto record = qvctl_cli::chain_record_parse(qvtest::trimmed(resumed.out));
    ASSERT_TRUE(record) << resumed.out;
    EXPECT_EQ(record->blocks, 305u) << "the interrupted run's blocks and the new ones";
    EXPECT_TRUE(record->verified);
    EXPECT_EQ(mark_of(d.image), "");

    // Killed, an incremental leaves no record of what it wrote: the next one rewrites what differs.
    d.write(1000, 300, 'e', 3);
    EXPECT_EQ(d.cut_short(d.backup() + " -i", SIGKILL, "Performing incremental snapshot").status, 128 + SIGKILL);
    auto resync = d.qvctl("backup " + d.dev + " " + d.image + " --incremental");
    ASSERT_EQ(resync.status, 0) << resync.out;
    EXPECT_NE(resync.out.find("runs as a resync"), std::string::npos) << resync.out;

    std::string snap = d.snapshot();
    EXPECT_TRUE(read_file(d.image) == read_file(snap));
    d.cancel();
    EXPECT_EQ(results(d.chain()), "1 base killed\n2 base succeeded\n3 incremental succeeded\n4 incremental interrupted\n"
                                  "5 incremental succeeded\n6 incremental killed\n7 incremental succeeded\n");
}

void poke(const char *image, void *)
{
    qv::unique_fd fd(::open(image, O_WRONLY | O_CLOEXEC));
    // Block 50 from its third sector on, and block 3000 whole.
    EXPECT_EQ(::pwrite(fd.get(), std::string(3000, '\x5a').data(), 3000, 50 * 4096 + 1024), 3000);
    EXPECT_EQ(::pwrite(fd.get(), std::string(4096, '\x5b').data(), 4096, 3000 * 4096), 4096);
}

TEST(Backup, VerifyCatchesBlocksChangedBehindTheCopyAndImageVerifyFindsThem)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    qvctl_cli::backup_request req;
    req.device = d.dev.c_str();
    req.image = d.image.c_str();
    req.verify = true;
    req.workers = 3;
    req.before_verify = poke;
    EXPECT_EQ(qvctl_cli::backup_run(req), 9);
    EXPECT_FALSE(d.snapshot_held());
    auto chain = d.chain();
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0].result, "failed");
    EXPECT_NE(chain[0].message.find(" in 2 blocks, the first at sector 402"), std::string::npos) << chain[0].message;
    EXPECT_FALSE(chain[0].verified);

    d.write(3000, 1, 'n');  // the snapshot's changelog: one block
    ASSERT_NE(d.snapshot(), "");
    auto all = d.qvctl("image verify " + d.dev + " " + d.image + " -w 4");
    EXPECT_EQ(all.status, 9) << all.out;
    EXPECT_EQ(all.out, "2 of 4096 blocks differ\nfirst differing sectors: 402 24000\n");
    auto changed = d.qvctl("image verify " + d.dev + " " + d.image + " --changed --json");
    EXPECT_EQ(changed.status, 9) << changed.out;
    EXPECT_NE(changed.out.find("\"blocks\":1,\"differing\":1,\"sectors\":[24000]}"), std::string::npos) << changed.out;
    d.cancel();
}

}  // namespace
