// SPDX-License-Identifier: GPL-2.0-or-later
// A soak of qvctl backup: xfs in a partition changes under a writer while a base and eight
// incrementals are taken with --verify, three of them interrupted at random moments (SIGINT,
// SIGTERM, and SIGKILL of the backup itself). At the end the image must equal a fresh snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "../sim/fs_helpers.h"
#include "backup_disk.h"
#include "capability.h"
#include "child.h"

namespace {

using backuptest::child;

TEST(BackupSoak, InterruptedBackupsUnderAWriterEndInAnImageEqualToItsSnapshot)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string part = sim.disk("320M", 2048);
    ASSERT_FALSE(part.empty());
    qvtest::temp_dir dir;
    qvtest::sh_ok("mkfs.xfs -q -f " + part);
    simtest::mount_guard live(part, dir.file("live"));
    ASSERT_TRUE(live.ok()) << live.error();
    const std::string qvctl = backuptest::qvctl_bin + " --quiet ";
    backuptest::identity_guard identity{backuptest::attach_identity_path(part)};
    qvtest::sh_ok(qvctl + "attach " + part + " && " + qvctl + "store create changelog " + part + " && " + qvctl +
                  "store create data " + part + " --size 32M");
    for (const char *store : {"changelog", "data", "metadata"})
        qvtest::sh_ok(qvctl + "store register " + store + " " + part);

    std::random_device rd;
    const unsigned seed = rd();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Which of the eight incrementals each signal hits, and how long after the copy starts.
    std::vector<int> order = {0, 1, 2, 3, 4, 5, 6, 7};
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<int> signals(8, 0);
    signals[order[0]] = SIGINT;
    signals[order[1]] = SIGTERM;
    signals[order[2]] = SIGKILL;
    std::uniform_int_distribution<int> delay_ms(0, 250);

    qvtest::sh_ok("mkdir " + live.file("w"));
    child writer("i=0; while [ $i -lt 2000 ]; do dd if=/dev/urandom of=" + live.file("w") +
                 "/f$((i % 40)) bs=64k count=1 conv=fsync status=none; i=$((i + 1)); sleep 0.05; done");

    const std::string image = dir.file("image");
    const std::string backup = backuptest::qvctl_bin + " backup " + part + " " + image + " --verify -w 2";
    auto base = qvtest::sh(backup);
    ASSERT_EQ(base.status, 0) << base.out;
    std::vector<std::string> expected = {"succeeded"};
    for (int i = 0; i < 8; ++i) {
        if (!signals[i]) {
            auto r = qvtest::sh(backup + " --incremental");
            EXPECT_EQ(r.status, 0) << r.out;
            expected.push_back("succeeded");
            continue;
        }
        // A thousand changed blocks on a slow snapshot device: a copy long enough to be caught in.
        qvtest::sh_ok("dd if=/dev/urandom of=" + live.file("big") + " bs=1M count=4 conv=fsync status=none");
        sim.quirk("slow-reads 20000");
        child run(backup + " --incremental");
        // After a killed backup, whose writes no record tells, the incremental runs as a resync.
        ASSERT_TRUE(run.wait_for(" snapshot from ")) << run.out();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(rng)));
        run.signal(signals[i]);
        int status = run.finish();
        sim.quirk_clear();
        EXPECT_EQ(status, signals[i] == SIGKILL ? 128 + SIGKILL : 4) << run.out();
        expected.push_back(signals[i] == SIGKILL ? "killed" : "interrupted");
    }

    writer.signal(SIGTERM);
    writer.finish();
    // A mounted filesystem is written by the freeze of every snapshot start: read-only, the last
    // backup and the snapshot after it see the same bytes.
    qvtest::sh_ok("sync && mount -o remount,ro " + dir.file("live"));
    auto last = qvtest::sh(backup + " --incremental");
    ASSERT_EQ(last.status, 0) << last.out;
    expected.push_back("succeeded");

    auto snap = qvtest::sh(qvctl + "snapshot start " + part);
    ASSERT_EQ(snap.status, 0) << snap.out;
    auto verify = qvtest::sh(backuptest::qvctl_bin + " image verify " + part + " " + image + " -w 2");
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(verify.out.find("0 of "), 0u) << verify.out;
    qvtest::sh_ok(qvctl + "snapshot cancel " + part);

    std::vector<qvctl_cli::chain_record> chain;
    qvctl_status st{};
    ASSERT_TRUE(qvctl_cli::chain_read(qvctl_cli::chain_path(image), chain, st)) << st.message;
    ASSERT_EQ(chain.size(), expected.size());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        EXPECT_EQ(chain[i].result, expected[i]) << "backup " << i + 1;
        EXPECT_EQ(chain[i].verified, chain[i].result == "succeeded") << "backup " << i + 1;
    }
    live.unmount();
    qvtest::sh(qvctl + "detach " + part);
}

}  // namespace
