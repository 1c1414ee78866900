// SPDX-License-Identifier: GPL-2.0-or-later
// A repository's points mounted as they were, its damage found where it lies, its oldest points
// pruned whole, zeros kept out of it, and restores refused before they write into the wrong place.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "../sim/fs_helpers.h"
#include "backup_disk.h"
#include "capability.h"

namespace {

using backuptest::backup_disk;
using simtest::mount_guard;
using simtest::read_file;

constexpr auto npos = std::string::npos;

void poke(const std::string &path, off_t at, char byte)
{
    qv::unique_fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::pwrite(fd.get(), &byte, 1, at), 1) << path;
}

// Points of an ext4 device kept on xfs, taken while the filesystem is read-only so that each is the
// device's bytes of its moment.
TEST(Repository, PointsMountAsTheyWereDamageIsNamedAndPruneKeepsTheNewest)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d;
    ASSERT_FALSE(d.dev.empty());
    const std::string store = d.sim.disk("320M");
    qvtest::sh_ok("mkfs.xfs -q -f " + store);
    mount_guard on_xfs(store, d.dir.file("xfs"));
    ASSERT_TRUE(on_xfs.ok()) << on_xfs.error();
    const std::string repo = on_xfs.file("repo");
    std::vector<std::string> at_point;
    {
        mount_guard fs(d.dev, d.dir.file("fs"));
        ASSERT_TRUE(fs.ok()) << fs.error();
        for (const char *text : {"one", "two", "three", "four"}) {
            d.dir.write("fs/" + std::string(text), text);
            d.dir.write("fs/latest", text);
            qvtest::sh_ok("mount -o remount,ro " + d.dir.file("fs"));
            auto r = d.qvctl("backup " + d.dev + " " + repo);
            ASSERT_EQ(r.status, 0) << r.out;
            at_point.push_back(d.bytes());
            qvtest::sh_ok("mount -o remount,rw " + d.dir.file("fs"));
        }
    }
    for (auto [point, latest] : {std::pair{"@1", "one"}, {"", "four"}}) {
        const std::string at = d.dir.file(std::string("at") + point);
        ::mkdir(at.c_str(), 0755);
        auto r = d.qvctl("repo mount " + repo + point + " " + at);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(at + "/latest"), latest);
        EXPECT_EQ(std::filesystem::exists(at + "/two"), std::string(latest) == "four");
        EXPECT_EQ(d.qvctl("repo umount " + at).status, 0);
    }
    EXPECT_FALSE(std::filesystem::exists(repo + "/mounts/1.img")) << "the clone goes with its mount";

    auto clean = d.qvctl("repo check " + repo);
    EXPECT_EQ(clean.status, 0) << clean.out;
    // One byte in point 2's delta (its first saved block) and one in the image.
    std::uint64_t sector = 0;
    {
        qvctl_cli::repo r;
        ASSERT_EQ(qvctl_cli::repo_open(r, repo, qvctl_cli::repo_access::read), 0);
        qvctl_cli::delta_reader delta;
        ASSERT_EQ(delta.open(r, 2, r.latest()->sectors, r.st), 0);
        ASSERT_EQ(delta.each(false, [&](const qvctl_cli::delta_entry &e) { return e.zero ? 0 : (sector = e.sector, 1); },
                             r.st), 1);
    }
    poke(repo + "/deltas/2.data", 100, '\x77');
    poke(repo + "/image", 4096 * 3000 + 5, '\x77');
    auto damaged = d.qvctl("repo check " + repo);
    EXPECT_EQ(damaged.status, 9) << damaged.out;
    EXPECT_NE(damaged.out.find("2 of "), npos) << damaged.out;
    EXPECT_NE(damaged.out.find("the first: point 4 sector 24000, point 2 sector " + std::to_string(sector)), npos)
        << damaged.out;
    auto stopped = d.qvctl("repo restore " + repo + "@3 " + d.dir.file("out"));
    EXPECT_EQ(stopped.status, 9) << stopped.out;
    EXPECT_NE(stopped.out.find("point 4: the block at sector 24000 differs from its checksum"), npos) << stopped.out;

    // Prune: the two newest stay restorable, the others are gone whole.
    qvtest::sh_ok("dd if=" + d.dev + " of=" + repo + "/image bs=4096 skip=3000 seek=3000 count=1 conv=notrunc status=none");
    auto pruned = d.qvctl("repo prune " + repo + " --keep 2");
    EXPECT_EQ(pruned.status, 0) << pruned.out;
    EXPECT_NE(pruned.out.find("points 1 to 2 removed"), npos) << pruned.out;
    EXPECT_FALSE(std::filesystem::exists(repo + "/deltas/2.data"));
    d.expect_point_in(repo, 3, at_point[2]);
    d.expect_point_in(repo, 4, at_point[3]);
    auto gone = d.qvctl("repo restore " + repo + "@1 " + d.dir.file("out"));
    EXPECT_NE(gone.out.find("has no point 1; its points are 3 to 4"), npos) << gone.out;
    EXPECT_EQ(d.qvctl("repo check " + repo).status, 0);
}

TEST(Repository, AQuarterFullBaseTakesItsUsedBlocksAndRestoreRefusesWrongTargets)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    backup_disk d("64M");
    ASSERT_FALSE(d.dev.empty());
    for (std::uint64_t run = 0; run < 16384; run += 256)
        d.write(run, 64, static_cast<char>('a' + run % 7));
    std::uint64_t used = 0;
    const std::string bytes = d.bytes();
    for (std::size_t b = 0; b < bytes.size(); b += 4096)
        used += bytes.find_first_not_of('\0', b) < b + 4096;
    ASSERT_EQ(d.qvctl("backup " + d.dev + " " + d.repo).status, 0);
    const std::uint64_t on_disk = std::stoull(qvtest::sh_ok("du -s --block-size=1 " + d.repo));
    EXPECT_LE(on_disk, used * 4096 * 11 / 10) << used << " blocks used";

    // Targets that are refused before anything is written into them.
    const std::string small = d.sim.disk("8M"), mounted = d.sim.disk("64M");
    qvtest::sh_ok("mkfs.ext4 -q " + mounted);
    mount_guard fs(mounted, d.dir.file("mnt"));
    ASSERT_TRUE(fs.ok()) << fs.error();
    const std::string attached = d.dir.write("attached", std::string(1 << 20, 'x'));
    const std::string loop = qvtest::trimmed(qvtest::sh_ok("losetup -f --show " + attached));
    struct refusal {
        std::string target;
        std::string message;
    };
    const refusal cases[] = {
        {small, "holds 8388608 bytes, but the point has 67108864"},
        {mounted, " is mounted or in use"},
        {d.repo + "/copy", " lies in the repository "},
        {attached, " is in use by " + loop},
        {d.dev, " has a snapshot held"},
    };
    ASSERT_NE(d.snapshot(), "");
    const std::string small_before = read_file(small);
    for (const refusal &c : cases) {
        auto r = d.qvctl("repo restore " + d.repo + " " + c.target);
        EXPECT_NE(r.status, 0) << c.target;
        EXPECT_NE(r.out.find(c.message), npos) << r.out;
    }
    d.cancel();
    qvtest::sh("losetup -d " + loop);
    EXPECT_TRUE(read_file(small) == small_before);
    EXPECT_EQ(read_file(attached), std::string(1 << 20, 'x'));
    EXPECT_FALSE(std::filesystem::exists(d.repo + "/copy"));

    // A repository in use by another run is refused at once.
    qv::unique_fd lock(::open((d.repo + "/lock").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    auto busy = d.qvctl("backup " + d.dev + " " + d.repo);
    EXPECT_EQ(busy.status, 16) << busy.out;
    EXPECT_NE(busy.out.find(d.repo + " is in use by another run"), npos) << busy.out;
}

}  // namespace
