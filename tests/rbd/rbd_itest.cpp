// SPDX-License-Identifier: GPL-2.0-or-later
// Backups into an RBD image of the test cluster, proved by the bytes that each point restores.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>

#include "../backup/backup_disk.h"
#include "ceph_pool.h"
#include "rbd_client.h"

namespace {

using backuptest::backup_disk;
using cephtest::test_image;

struct ceph_disk : backup_disk {
    test_image image;
    explicit ceph_disk(const std::string &name, const std::string &size = "16M") : backup_disk(size), image(name)
    {
        repo = image.repo();
    }
    qvtest::run_result backup_into(unsigned timeout = 30)
    {
        return qvctl("backup " + dev + " " + repo + cephtest::ceph_flags(timeout));
    }
    void expect_restores(std::uint64_t point, const std::string &expected)
    {
        const std::string out = dir.file("restored");
        auto r = qvctl("repo restore " + repo + "@" + std::to_string(point) + " " + out + cephtest::ceph_flags());
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(simtest::read_file(out) == expected) << "point " << point << " differs from the device at its backup";
        ::unlink(out.c_str());
    }
    std::set<std::string> snapshots()
    {
        auto r = cephtest::rbd("snap ls --format json " + cephtest::pool + "/" + image.name);
        std::set<std::string> names;
        for (std::size_t at = 0; (at = r.out.find("\"name\":\"", at)) != std::string::npos;) {
            at += 8;
            names.insert(r.out.substr(at, r.out.find('"', at) - at));
        }
        return names;
    }
};

// The head image opened as another client would: to write behind the backups' back, or to hold its lock.
struct other_client {
    qvctl_cli::rbd_pool pool;
    qvctl_cli::rbd_image head;
    qvctl_status st{};
    explicit other_client(const std::string &name)
    {
        qvctl_cli::ceph_options how;
        how.conf = cephtest::conf.c_str();
        qvctl_cli::rbd_module_place(QV_RBD_MODULE_BUILT);
        EXPECT_EQ(pool.connect(how, cephtest::pool, st), 0) << st.message;
        EXPECT_EQ(head.open(pool, name, nullptr, true, st), 0) << st.message;
    }
};

TEST(CephRepository, FourPointsRestoreExactlyCheckFindsAByteChangedBehindItsBackAndPruneKeepsTwo)
{
    QV_REQUIRE_CEPH();
    ceph_disk d("points");
    ASSERT_FALSE(d.dev.empty());
    d.write(1000, 100, 'a');
    d.write(2048, 1024, 'a');  // the whole of the image's third object
    std::vector<std::string> expected{d.bytes()};
    auto r = d.backup_into();
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("point 1 (base)"), std::string::npos) << r.out;
    // Zeros are not stored: RBD makes no object for a part of the image that was never written.
    EXPECT_EQ(cephtest::objects_of(d.image.name), cephtest::objects_with_data(expected[0]));

    // Changes, zeroed blocks among them, one incremental each; the first zeroes an object whole,
    // which RBD then gives up.
    for (char fill : {'b', 'c', 'd'}) {
        const std::uint64_t k = static_cast<std::uint64_t>(fill - 'a');
        d.write(1000 + k * 20, 40, fill, 3);
        const std::string zeroed = fill == 'b' ? " seek=2048 count=1024" : " seek=" + std::to_string(1000 + k * 10) + " count=7";
        qvtest::sh_ok("dd if=/dev/zero of=" + d.dev + " bs=4096" + zeroed + " conv=notrunc,fsync status=none");
        expected.push_back(d.bytes());
        r = d.backup_into();
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("(incremental)"), std::string::npos) << r.out;
        if (fill == 'b') {
            EXPECT_EQ(cephtest::objects_of(d.image.name), cephtest::objects_with_data(expected[1]));
        }
    }
    for (std::uint64_t p = 1; p <= 4; ++p)
        d.expect_restores(p, expected[p - 1]);

    r = d.qvctl("repo check " + d.repo + cephtest::ceph_flags());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("points 1 to 4"), std::string::npos) << r.out;
    {
        other_client other(d.image.name);
        char byte = 'Z';
        ASSERT_EQ(other.head.write(1234 * 4096 + 17, 1, &byte, other.st), 0) << other.st.message;
    }
    r = d.qvctl("repo check " + d.repo + cephtest::ceph_flags());
    EXPECT_EQ(r.status, 9) << r.out;
    EXPECT_NE(r.out.find("1 of"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("point 4 sector " + std::to_string(1234 * 8)), std::string::npos) << r.out;
    {
        other_client other(d.image.name);
        ASSERT_EQ(other.head.write(1234 * 4096 + 17, 1, expected[3].data() + 1234 * 4096 + 17, other.st), 0);
    }

    r = d.qvctl("repo prune " + d.repo + " --keep 2" + cephtest::ceph_flags());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(d.snapshots(), (std::set<std::string>{"3", "4"}));
    d.expect_restores(3, expected[2]);
    d.expect_restores(4, expected[3]);
    r = d.qvctl("repo restore " + d.repo + "@1 " + d.dir.file("gone") + cephtest::ceph_flags());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("has no point 1; its points are 3 to 4"), std::string::npos) << r.out;
    r = d.qvctl("repo list " + d.repo + " --json" + cephtest::ceph_flags());
    EXPECT_NE(r.out.find("\"point\":4"), std::string::npos) << r.out;
    // A point is restored from, never backed up into.
    r = d.qvctl("backup " + d.dev + " " + d.repo + "@4" + cephtest::ceph_flags());
    EXPECT_EQ(r.status, 22) << r.out;
    EXPECT_NE(r.out.find("@4 names a point; this command takes the repository, " + d.repo), std::string::npos) << r.out;
    EXPECT_FALSE(d.snapshot_held());
}

TEST(CephRepository, ALiveHolderRefusesWith16AndADeadOnesLockIsBrokenWithItsRunRolledBack)
{
    QV_REQUIRE_CEPH();
    ceph_disk d("locks");
    ASSERT_FALSE(d.dev.empty());
    d.write(500, 300, 'a');
    const std::string first = d.bytes();
    ASSERT_EQ(d.backup_into().status, 0);
    {
        other_client other(d.image.name);
        std::string holder, broken;
        ASSERT_EQ(other.head.lock(holder, broken, other.st), 0) << other.st.message;
        auto r = d.backup_into();
        EXPECT_EQ(r.status, 16) << r.out;
        EXPECT_NE(r.out.find("is in use by another backup"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Ceph client 127.0.0.1:"), std::string::npos) << r.out;
        EXPECT_FALSE(d.snapshot_held());
    }
    // A backup killed in its copy leaves its lock, its snapshot and a half patched image.
    d.write(500, 1500, 'b');
    const std::string second = d.bytes();
    auto cut = d.cut_short(backuptest::qvctl_bin + " backup " + d.dev + " " + d.repo + cephtest::ceph_flags(), SIGKILL,
                           "from snapshot", 500000);
    ASSERT_EQ(cut.status, 128 + SIGKILL) << cut.out;
    qvtest::run_result r;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while ((r = d.backup_into()).status == 16 && std::chrono::steady_clock::now() < give_up)
        ::sleep(1);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("which Ceph reports gone, is broken"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("was killed; its snapshot is cancelled"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("was cut short; its image is rolled back to point 1"), std::string::npos) << r.out;
    d.expect_restores(1, first);
    d.expect_restores(2, second);
}

TEST(CephRepository, AClusterThatStopsAnsweringFailsTheBackupInItsTimeAndTheNextRepairsIt)
{
    QV_REQUIRE_CEPH();
    ceph_disk d("fault", "32M");
    ASSERT_FALSE(d.dev.empty());
    d.write(100, 2000, 'a');
    const std::string first = d.bytes();
    ASSERT_EQ(d.backup_into().status, 0);
    d.write(100, 6000, 'b');
    const std::string second = d.bytes();

    // The OSD frozen once the copy runs; a guard thaws it whatever the test's end.
    const std::string cluster_dir = qvtest::trimmed(qvtest::sh("dirname " + cephtest::conf).out);
    struct thaw {
        std::string dir;
        ~thaw() { qvtest::sh(cephtest::cluster + " resume-osd " + dir); }
    } thawed{cluster_dir};
    constexpr int limit = 5;
    std::chrono::steady_clock::time_point frozen;
    auto r = d.run_until(backuptest::qvctl_bin + " backup " + d.dev + " " + d.repo + cephtest::ceph_flags(limit), "from snapshot",
                         [&](pid_t) {
                             qvtest::sh_ok(cephtest::cluster + " pause-osd " + cluster_dir);
                             frozen = std::chrono::steady_clock::now();
                         });
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - frozen);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("ERROR: Ceph did not answer rbd_"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("within 5 s (pool qvtest, image " + d.image.name), std::string::npos) << r.out;
    // The copy's call, then the undo's and the snapshot's end, each within the limit.
    EXPECT_LE(took.count(), 6 * limit) << r.out;
    EXPECT_FALSE(d.snapshot_held()) << r.out;
    qvtest::sh_ok(cephtest::cluster + " resume-osd " + cluster_dir);

    auto next = d.backup_into();
    ASSERT_EQ(next.status, 0) << next.out;
    EXPECT_NE(next.out.find("was cut short; its image is rolled back to point 1"), std::string::npos) << next.out;
    d.expect_restores(1, first);
    d.expect_restores(2, second);
    auto check = d.qvctl("repo check " + d.repo + cephtest::ceph_flags());
    EXPECT_EQ(check.status, 0) << check.out;
}

TEST(CephModule, WithoutItQvctlNamesThePackageToInstall)
{
    QV_REQUIRE_ROOT_LOOP();
    if (::access(QV_RBD_MODULE_INSTALLED, F_OK) == 0)
        GTEST_SKIP() << "the module is installed (" QV_RBD_MODULE_INSTALLED "), so a copy of qvctl finds it";
    qvtest::temp_dir dir;
    const std::string copy = dir.file("qvctl");
    qvtest::sh_ok("cp " + backuptest::qvctl_bin + " " + copy);
    for (const char *command : {"repo list rbd:qvtest/none", "repo check rbd:qvtest/none"}) {
        auto r = qvtest::sh(copy + " " + command);
        EXPECT_EQ(r.status, 65) << r.out;
        EXPECT_NE(r.out.find("install the package quorvex-rbd"), std::string::npos) << r.out;
    }
    auto r = qvtest::sh(backuptest::qvctl_bin + " repo list rbd:qvtest");
    EXPECT_EQ(r.status, 22) << r.out;
    EXPECT_NE(r.out.find("rbd:POOL/NAME"), std::string::npos) << r.out;
}

}  // namespace
