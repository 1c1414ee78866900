// SPDX-License-Identifier: GPL-2.0-or-later
// Backups against the stand-in: the image tool's lock, signals and mark; and a repository taken
// through bases and incrementals that are interrupted, killed at random moments and resynced,
// whose every succeeded point then restores to the device's bytes at its backup.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <random>
#include <regex>

#include "backup.h"
#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;
using backuptest::mark_of;
using simtest::read_file;

constexpr auto npos = std::string::npos;

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
    const std::string image = d.dir.file("snap.img");
    std::string snap = d.snapshot();
    std::string expected = read_file(snap);
    qvtest::sh_ok("blockdev --flushbufs " + snap);
    auto run = d.cut_short(backuptest::qvsnap_bin + " " + d.dev + " " + image, SIGINT, " / 4096 (");
    EXPECT_EQ(run.status, 4) << run.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, std::regex("ERROR: interrupted by signal 2 after (\\d+) of 4096 blocks")))
        << run.out;
    std::uint64_t copied = std::stoull(m[1].str());
    EXPECT_LT(copied, 4096u);
    std::string got = read_file(image);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got.compare(0, copied * 4096, expected, 0, copied * 4096) == 0) << "one worker: a prefix is copied";
    backuptest::expect_marked(image, "base " + d.dev + " 20");

    auto r = qvtest::sh(backuptest::qvsnap_bin + " -p " + d.dev + " " + image);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(image) == expected);
    EXPECT_EQ(mark_of(image), "") << "lifted once the image is on the disk";
    qv::unique_fd held(::open(image.c_str(), O_RDONLY | O_CLOEXEC));  // the lock a running copy holds
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    EXPECT_EQ(qvtest::sh(backuptest::qvsnap_bin + " -p " + d.dev + " " + image).status, 16);
    EXPECT_TRUE(read_file(image) == expected) << "neither emptied nor written";
    d.cancel();
}

TEST(Backup, EveryPointRestoresByteForByteThroughInterruptionsAndKills)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    std::vector<std::string> at_point;  // the device's bytes at each point's backup
    const auto take = [&](const std::string &args) {
        auto r = d.qvctl("backup " + d.dev + " " + d.repo + args);
        EXPECT_EQ(r.status, 0) << r.out;
        if (r.status == 0)
            at_point.push_back(d.bytes());
        return r;
    };
    d.write(10, 100, 'a');
    EXPECT_EQ(d.cut_short(d.backup(), SIGKILL, "Backup 1 of").status, 128 + SIGKILL);
    EXPECT_TRUE(d.snapshot_held());
    auto base = take("");
    EXPECT_NE(base.out.find("Backup 1 of " + d.dev + " (process "), npos) << base.out;
    EXPECT_NE(base.out.find("succeeded: point 1 (base), 4096 blocks copied"), npos) << base.out;

    d.write(200, 20, 'b');
    EXPECT_NE(take(" -w 2 --verify").out.find("point 2 (incremental), 20 blocks copied, 81920 bytes written, verified"),
              npos);

    // Interrupted, an incremental is rolled back at once and its blocks stay in the changelog.
    d.write(300, 300, 'c', 12);
    auto cut = d.cut_short(d.backup(), SIGINT, "Backup 4 of");
    EXPECT_EQ(cut.status, 4) << cut.out;
    EXPECT_FALSE(d.snapshot_held());
    d.write(3001, 5, 'd');
    auto resumed = take(" --json");
    auto record = qvctl_cli::chain_record_parse(qvtest::trimmed(resumed.out));
    ASSERT_TRUE(record) << resumed.out;
    EXPECT_EQ(record->blocks, 305u) << "the interrupted run's blocks and the new ones";
    EXPECT_EQ(record->point, 3u);

    // Killed at random moments of runs of two batches each, while reading, saving or patching: the
    // next run rolls back what it finds half patched, and goes on from the last point. The moments
    // are drawn within the copy of an uncut run of the same size (its start-up included in `whole`).
    d.sim.quirk("slow-reads 30000");
    d.write(500, 2600, 'e');
    const auto begun = std::chrono::steady_clock::now();
    take("");
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun);
    d.sim.quirk_clear();
    std::mt19937 random(std::random_device{}());
    int killed = 0;
    for (char fill : {'f', 'g', 'h'}) {
        d.write(500, 2600, fill);
        const auto seq = std::to_string(d.chain().back().seq + 1);
        const auto delay = static_cast<useconds_t>(
            std::uniform_real_distribution<double>(0.02, 0.3)(random) * static_cast<double>(whole.count()));
        auto run = d.cut_short(d.backup(), SIGKILL, "Backup " + seq + " of", delay);
        // A run that ended before the signal (a slow start-up, under a sanitizer say) made its point.
        if (run.status == 0)
            at_point.push_back(d.bytes());
        else
            EXPECT_EQ(run.status, 128 + SIGKILL) << delay << run.out;
        killed += run.status == 128 + SIGKILL;
        d.write(4000, 1, fill);
        auto next = take("");
        if (run.status) {
            EXPECT_NE(next.out.find("was killed; its snapshot is cancelled"), npos) << next.out;
        }
    }
    EXPECT_GT(killed, 0) << "no run was caught by its signal";
    d.write(50, 3, 'i');
    const std::string resync_point = "point " + std::to_string(at_point.size() + 1) + " (resync), 3 blocks copied";
    EXPECT_NE(take(" --resync").out.find(resync_point), npos);

    for (std::size_t p = 0; p < at_point.size(); ++p)
        d.expect_point(p + 1, at_point[p]);
    EXPECT_TRUE(read_file(d.image) == at_point.back());
    EXPECT_EQ(results(d.chain()).rfind(
                  "1 base killed\n2 base succeeded\n3 incremental succeeded\n4 incremental interrupted\n", 0),
              0u)
        << results(d.chain());
    auto check = d.qvctl("repo check " + d.repo);
    EXPECT_EQ(check.status, 0) << check.out;
}

void poke(const char *image, void *)
{
    qv::unique_fd fd(::open(image, O_WRONLY | O_CLOEXEC));
    // Block 50 from its third sector on, and block 3000 whole.
    EXPECT_EQ(::pwrite(fd.get(), std::string(3000, '\x5a').data(), 3000, 50 * 4096 + 1024), 3000);
    EXPECT_EQ(::pwrite(fd.get(), std::string(4096, '\x5b').data(), 4096, 3000 * 4096), 4096);
}

TEST(Backup, VerifyCatchesBlocksChangedBehindTheCopyAndImageVerifyFindsThemInAToolImage)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    qvctl_cli::backup_request req;
    req.device = d.dev.c_str();
    req.repo = d.repo.c_str();
    req.verify = true;
    req.workers = 3;
    req.before_verify = poke;
    EXPECT_EQ(qvctl_cli::backup_run(req), 9);
    EXPECT_FALSE(d.snapshot_held());
    auto chain = d.chain();
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0].result, "failed");
    EXPECT_EQ(chain[0].point, 0u);
    EXPECT_NE(chain[0].message.find(" in 2 blocks, the first at sector 400"), npos) << chain[0].message;

    const std::string image = d.dir.file("snap.img");
    ASSERT_NE(d.snapshot(), "");
    ASSERT_EQ(qvtest::sh(backuptest::qvsnap_bin + " -p " + d.dev + " " + image).status, 0);
    poke(image.c_str(), nullptr);
    ASSERT_EQ(d.qvctl("snapshot complete " + d.dev).status, 0);
    d.write(3000, 1, 'n');  // the next snapshot's changelog: one block
    ASSERT_NE(d.snapshot(), "");
    auto all = d.qvctl("image verify " + d.dev + " " + image + " -w 4");
    EXPECT_EQ(all.status, 9) << all.out;
    EXPECT_EQ(all.out, "2 of 4096 blocks differ\nfirst differing sectors: 402 24000\n");
    auto changed = d.qvctl("image verify " + d.dev + " " + image + " --changed --json");
    EXPECT_EQ(changed.status, 9) << changed.out;
    EXPECT_NE(changed.out.find("\"blocks\":1,\"differing\":1,\"sectors\":[24000]}"), npos) << changed.out;
    d.cancel();
}

}  // namespace
