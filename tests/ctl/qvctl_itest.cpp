// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl against the stand-in module, as a person runs it: attach on each filesystem, and snapshots
// of mounted ext4 and btrfs with the module's refusals as statuses.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "../sim/fs_helpers.h"
#include "../sim/sim_helpers.h"
#include "capability.h"
#include "qvsim.h"
#include "temp_dir.h"

namespace {

const std::string bin = QVCTL_BIN;

qvtest::run_result qvctl(const std::string &args) { return qvtest::sh(bin + " " + args); }

// The line of the stand-in's state that describes `dev`.
std::string device_line(qvtest::qvsim &sim, const std::string &dev)
{
    std::smatch m;
    std::string state = sim.dump(true);
    std::regex line("device " + dev + " ([^\n]*\n(  metadata [^\n]*\n)*)");
    return std::regex_search(state, m, line) ? m[1].str() : "";
}

// Each filesystem attached in turn on one disk: the module gets its type, flags and metadata; the
// snapshot life cycle on ext4, and on btrfs, whose snapshot device must show its filesystem.
TEST(QvctlAttach, HandsTheModuleEachFilesystemAndRunsTheSnapshotLifeCycle)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    qvtest::temp_dir tmp;
    std::string dev = sim.disk("320M");
    ASSERT_FALSE(dev.empty());
    struct fs_case {
        std::string name, mkfs;
        bool mount;
        const char *expect;  // the start of the device's line in the stand-in's state
    };
    for (const fs_case &c : {fs_case{"ext4", "mkfs.ext4 -q -F", true, "fs 3 flags 0 "},
                             fs_case{"xfs", "mkfs.xfs -q -f", true, "fs 4 flags 2 "},
                             fs_case{"xfs_v4", "mkfs.xfs -q -f -m crc=0", false, "fs 4 flags 0 "},
                             fs_case{"btrfs", "mkfs.btrfs -q -f", true, "fs 5 flags 1 "},
                             fs_case{"vfat", "mkfs.vfat", false, "fs 6 flags 0 "}}) {
        SCOPED_TRACE(c.name);
        qvtest::sh_ok(c.mkfs + " " + dev);
        simtest::mount_guard m(dev, tmp.file("m"));
        if (c.mount) {
            ASSERT_TRUE(m.ok()) << m.error();
        }
        auto r = qvctl("attach " + dev);
        ASSERT_EQ(r.status, 0) << r.out;
        std::string line = device_line(sim, dev);
        EXPECT_EQ(line.rfind(c.expect, 0), 0u) << line;
        if (c.name.starts_with("xfs")) {
            // The whole journal, in sectors of the 4 KiB blocks that mkfs gave it.
            std::string blocks = qvtest::sh_ok("xfs_db -r -c 'sb 0' -c 'p logblocks' " + dev + " | cut -d' ' -f3");
            std::regex extent("  metadata [0-9]+ " + std::to_string(std::stoull(blocks) * 8) + "\n");
            EXPECT_TRUE(std::regex_search(line, extent)) << line;
        }
        if (c.name == "ext4") {
            EXPECT_EQ(qvctl("snapshot start " + dev).status, 706 & 255) << "no mapped changelog store";
            simtest::map_all_stores(dev);
            auto start = qvctl("snapshot start " + dev);
            ASSERT_EQ(start.status, 0) << start.out;
            ASSERT_TRUE(std::regex_match(start.out, std::regex("/dev/[a-z0-9]+\n"))) << start.out;
            EXPECT_EQ(qvctl("snapshot get " + dev).out, start.out);
            EXPECT_EQ(qvctl("snapshot start " + dev).status, 701 & 255) << "a snapshot is in progress";
            EXPECT_EQ(qvctl("snapshot complete " + dev).status, 0);
            ASSERT_EQ(qvctl("snapshot start " + dev).status, 0);
            EXPECT_EQ(qvctl("snapshot cancel " + dev).status, 0);
        }
        if (c.name == "btrfs") {
            simtest::map_all_stores(dev);
            EXPECT_EQ(qvctl("snapshot start " + dev).status, 0);
            EXPECT_EQ(qvctl("snapshot cancel " + dev).status, 0);
            // A snapshot device that shows no filesystem in time is 110, though the snapshot was taken.
            sim.quirk("no-fs-type");
            auto late = qvctl("snapshot start " + dev);
            sim.quirk_clear();
            EXPECT_EQ(late.status, 110) << late.out;
            EXPECT_EQ(qvctl("snapshot cancel " + dev).status, 0);
        }
        EXPECT_EQ(qvctl("detach " + dev).status, 0);
    }
}

}  // namespace
