// SPDX-License-Identifier: GPL-2.0-or-later
// The program against the stand-in module: base and incremental runs from a real snapshot device,
// per-block files, and the failures a user meets (a read error of the snapshot, a full
// output filesystem, a refused or lying changelog, no snapshot).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "../sim/sim_helpers.h"
#include "capability.h"
#include "engine_fixture.h"
#include "loop_image.h"
#include "qvsim.h"

namespace {

using simtest::write_blocks;
using tooltest::read_file;

const std::string bin = QVSNAP_BIN;
constexpr std::uint64_t disk_bytes = 16 << 20;

// A disk with varied content written before it is attached, so that its changelog starts empty.
struct snapshot_disk {
    qvtest::qvsim sim;
    std::string dev, snap;
    qvtest::temp_dir dir;

    snapshot_disk()
    {
        dev = sim.disk("16M");
        if (dev.empty())
            return;
        EXPECT_TRUE(simtest::write_file(dev, tooltest::pattern(disk_bytes, 1)));
        EXPECT_EQ(simtest::attach(dev).code, 0u);
        simtest::map_all_stores(dev);
    }
    // Starts the snapshot; blocks written before it are its changelog.
    bool start()
    {
        auto s = simtest::send(4, dev);
        EXPECT_EQ(s.code, 0u) << s.message;
        snap = "/dev/" + s.text(137);
        return s.code == 0;
    }
    qvtest::run_result run(const std::string &args) { return qvtest::sh(bin + " " + args); }
};

// A base image, then an incremental one of the blocks written since, in place and into files of
// their own; each equal to its snapshot.
TEST(QvsnapRun, BaseAndIncrementalImagesEqualTheirSnapshots)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    snapshot_disk d;
    ASSERT_FALSE(d.dev.empty());
    ASSERT_TRUE(d.start());
    std::string expected = read_file(d.snap);
    ASSERT_EQ(expected.size(), disk_bytes);
    write_blocks(d.dev, {0, 7, 4095}, 'n');  // after the snapshot: not in the base image
    std::string image = d.dir.file("image");
    for (const char *workers : {"1", "3"}) {
        std::ofstream(image, std::ios::binary) << std::string(disk_bytes + 5000, 'x');  // truncated first
        auto r = d.run("-p -w " + std::string(workers) + " " + d.dev + " " + image);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(read_file(image) == expected) << workers;
    }
    EXPECT_EQ(simtest::send(5, d.dev).code, 0u);

    ASSERT_TRUE(d.start());
    std::string snap = read_file(d.snap);
    auto r = d.run("-i -w 2 " + d.dev + " " + image);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(image) == snap);
    std::string base = d.dir.file("blocks");
    r = d.run("-s -i " + d.dev + " " + base);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(std::filesystem::exists(base)) << "a separated run never makes FILE";
    for (std::uint64_t b : {0, 7, 4095})
        EXPECT_TRUE(read_file(base + "." + std::to_string(b * 8)) == snap.substr(b * 4096, 4096)) << b;
    EXPECT_EQ(simtest::send(5, d.dev).code, 0u);
}

// No snapshot, a refused changelog, a full output filesystem and a read error of the snapshot.
TEST(QvsnapFailure, RunsThatMeetAFailureReportIt)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::loop_image out({.size = 8 << 20, .fs = "ext4"});
    ASSERT_TRUE(out.ok()) << out.error();
    snapshot_disk d;
    ASSERT_FALSE(d.dev.empty());
    std::string image = d.dir.file("image");
    auto none = d.run(d.dev + " " + image);  // attached, but no snapshot: the module's 702
    EXPECT_EQ(none.status, 190) << none.out;
    EXPECT_FALSE(std::filesystem::exists(image));

    write_blocks(d.dev, {10, 300, 600, 900, 1200, 1500, 1800, 2100, 2400, 2700, 3000, 3300}, 'f');
    ASSERT_TRUE(d.start());
    const std::string snap = read_file(d.snap);
    std::ofstream(image, std::ios::binary) << "old";
    d.sim.fault(7, 11);  // the changelog count is refused
    auto refused = d.run("-i " + d.dev + " " + image);
    EXPECT_EQ(refused.status, 11) << refused.out;
    EXPECT_EQ(read_file(image), "old");

    // An incremental run into a sparse image on a filesystem filled up: the workers' writes fail.
    std::string full = out.mount_point() + "/image";
    qvtest::sh_ok("truncate -s 16M " + full);
    qvtest::sh("dd if=/dev/zero of=" + out.mount_point() + "/filler bs=64k status=none; sync");
    auto r = d.run("-i -w 2 " + d.dev + " " + full);
    EXPECT_TRUE(r.status == 28 || r.status == 5) << r.out;
    EXPECT_NE(r.out.find("one of workers has failed"), std::string::npos) << r.out;

    qvtest::sh_ok("blockdev --flushbufs " + d.snap);
    d.sim.quirk("eio-from 24576");  // the second half of worker 1's range, 12 MiB in
    r = d.run("-w 2 " + d.dev + " " + image);
    EXPECT_EQ(r.status, 5) << r.out;
    EXPECT_NE(r.out.find("input file read at 12582912 failed"), std::string::npos) << r.out;
    std::string got = read_file(image);  // worker 0 copied its whole range
    ASSERT_EQ(got.size(), disk_bytes);
    EXPECT_TRUE(got.compare(0, 8 << 20, snap, 0, 8 << 20) == 0);
    d.sim.quirk_clear();
    EXPECT_EQ(simtest::send(5, d.dev).code, 0u);
}

// A module that claims more entries than it wrote, or lists blocks twice: the incremental run and
// the changelog listing end at once with the device and the answer's start. The commands are
// killed after a few seconds so that a loop fails the test instead of hanging it.
TEST(QvsnapFailure, LyingChangelogAnswersEndTheRun)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    snapshot_disk d;
    ASSERT_FALSE(d.dev.empty());
    const std::string image = d.dir.file("image");
    const std::string qvctl = std::string(QV_BUILD_DIR) + "/ctl/qvctl";
    struct lie {
        std::uint64_t runs;
        const char *quirk;
        std::string message;
    };
    const std::string from = "ERROR: " + d.dev + ": changelog answer from sector ";
    for (const lie &l : {lie{10, "overcount", from + "0 holds an entry of 0 blocks"},
                         lie{247, "overcount", from + "3936 holds an entry of 0 blocks"},
                         lie{10, "changelog-twice", from + "0 lists more blocks than the 10 counted"}}) {
        SCOPED_TRACE(std::string(l.quirk) + " over " + std::to_string(l.runs) + " runs");
        std::vector<std::uint64_t> every_other;  // one run each
        for (std::uint64_t i = 0; i < l.runs; ++i)
            every_other.push_back(2 * i);
        write_blocks(d.dev, every_other, 'r');
        ASSERT_TRUE(d.start());
        d.sim.quirk(l.quirk);
        for (const std::string &command : {bin + " -i " + d.dev + " " + image, qvctl + " changelog show " + d.dev}) {
            auto r = qvtest::sh("timeout -s KILL 10 " + command);
            EXPECT_EQ(r.status, EPROTO) << command << "\n" << r.out;
            EXPECT_NE(r.out.find(l.message), std::string::npos) << command << "\n" << r.out;
        }
        d.sim.quirk_clear();
        EXPECT_EQ(simtest::send(5, d.dev).code, 0u);
    }
}

}  // namespace
