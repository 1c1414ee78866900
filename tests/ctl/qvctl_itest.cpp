// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl against the stand-in module, as a person runs it: attach on each filesystem, the list,
// snapshots of mounted ext4 and btrfs, and the module's refusals as messages.
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
        EXPECT_EQ(r.out, dev + " attached\n");
        std::string line = device_line(sim, dev);
        EXPECT_EQ(line.rfind(c.expect, 0), 0u) << line;
        if (c.name.starts_with("xfs")) {
            // The whole journal, in sectors of the 4 KiB blocks that mkfs gave it.
            std::string blocks = qvtest::sh_ok("xfs_db -r -c 'sb 0' -c 'p logblocks' " + dev + " | cut -d' ' -f3");
            std::regex extent("  metadata [0-9]+ " + std::to_string(std::stoull(blocks) * 8) + "\n");
            EXPECT_TRUE(std::regex_search(line, extent)) << line;
        }
        if (c.name == "ext4") {
            auto again = qvctl("attach " + dev);
            EXPECT_EQ(again.status, 17);
            EXPECT_EQ(again.out, "ERROR: device " + dev + " already exists\n");
            auto refused = qvctl("snapshot start " + dev);
            EXPECT_EQ(refused.status, 706 & 255);
            EXPECT_EQ(refused.out, "ERROR: device " + dev + " has no mapped changelog store\n");
            simtest::map_all_stores(dev);
            auto start = qvctl("snapshot start " + dev);
            ASSERT_EQ(start.status, 0) << start.out;
            ASSERT_TRUE(std::regex_match(start.out, std::regex("/dev/[a-z0-9]+\n"))) << start.out;
            EXPECT_EQ(qvctl("snapshot get " + dev).out, start.out);
            EXPECT_TRUE(std::regex_search(qvctl("info " + dev).out, std::regex(dev + " +[a-z0-9]+ +snapshot ")));
            auto twice = qvctl("snapshot start " + dev);
            EXPECT_EQ(twice.status, 701 & 255);
            EXPECT_EQ(twice.out, "ERROR: " + dev + ": a snapshot is in progress\n");
            EXPECT_EQ(qvctl("snapshot complete " + dev).out, dev + ": snapshot completed\n");
            ASSERT_EQ(qvctl("snapshot start " + dev).status, 0);
            EXPECT_EQ(qvctl("snapshot cancel " + dev).out, dev + ": snapshot cancelled\n");
            auto none = qvctl("snapshot get " + dev);
            EXPECT_EQ(none.status, 702 & 255);
            EXPECT_EQ(none.out, "ERROR: " + dev + ": no snapshot found\n");
        }
        if (c.name == "btrfs") {
            simtest::map_all_stores(dev);
            auto start = qvctl("snapshot start " + dev);
            EXPECT_EQ(start.status, 0) << start.out;
            EXPECT_EQ(qvctl("snapshot cancel " + dev).status, 0);
            // A snapshot device that shows no filesystem in time is 110, though the snapshot was taken.
            sim.quirk("no-fs-type");
            auto late = qvctl("snapshot start " + dev);
            sim.quirk_clear();
            EXPECT_EQ(late.status, 110) << late.out;
            EXPECT_TRUE(std::regex_match(late.out, std::regex("ERROR: Waited for device /dev/[a-z0-9]+ for too long\n")))
                << late.out;
            EXPECT_EQ(qvctl("snapshot cancel " + dev).status, 0);
        }
        EXPECT_EQ(qvctl("detach " + dev).status, 0);
        EXPECT_EQ(qvctl("info " + dev).out, "ERROR: device " + dev + " not found. Possible it is not attached\n");
    }
}

// Runs `args` and hands its standard output to a Python expression over the parsed document `d`.
qvtest::run_result json_query(const std::string &args, const std::string &expr)
{
    const std::string quoted = std::regex_replace(expr, std::regex("'"), "'\\''");
    return qvtest::sh(bin + " " + args +
                      " 2>/dev/null | python3 -c 'import json, sys; d = json.load(sys.stdin); print(" + quoted + ")'");
}

// The module's refusals as messages, a list that outlasts a busy module, and JSON documents that
// parse and carry their fields.
TEST(Qvctl, RefusalsNameTheDeviceAndJsonOutputsCarryTheirFields)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    qvtest::temp_dir tmp;
    EXPECT_EQ(qvctl("list").out, "no devices attached\n");
    EXPECT_EQ(json_query("list --json", "d['devices']").out, "[]\n");
    std::string dev = sim.disk("128M"), other = sim.disk("64M");
    qvtest::sh_ok("mkfs.ext4 -q -F " + dev + " && mkfs.ext4 -q -F " + other);
    struct refusal {
        unsigned nr;
        long value;
        std::string command, message;
    };
    const refusal cases[] = {
        {0, 16, "attach", "ERROR: device " + dev + " is busy, please try again later\n"},
        {0, 6, "attach", "ERROR: device " + dev + " is not suitable for snapshot\n"},
        {0, 700, "attach", "ERROR: version mismatch with kernel module\n"},
        {0, 0, "attach", dev + " attached\n"},
        {1, 703, "detach", "ERROR: operation denied, device " + dev + " is dirty\n"},
        {3, 12, "list", "ERROR: Failed to perform ioctl\n"},  // the second ask names no refusal
    };
    for (const refusal &c : cases) {
        if (c.value)
            sim.fault(c.nr, c.value);
        auto r = qvctl(c.command + (c.nr == 3 ? "" : " " + dev));
        EXPECT_EQ(r.status, c.value & 255) << c.command;
        EXPECT_EQ(r.out, c.message) << c.command;
        sim.fault_clear();
    }
    ASSERT_EQ(qvctl("attach " + other).status, 0);
    sim.fault(3, 11, 2);  // the list is asked again while the module answers "try again"
    auto r = qvctl("list");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^DEVICE +SNAPSHOT +STATE +FS +FLAGS\n")));
    for (const std::string &d : {dev, other})
        EXPECT_TRUE(std::regex_search(r.out, std::regex(d + " +- +idle +ext4 +0x0\n"))) << r.out;

    simtest::mount_guard m(dev, tmp.file("m"));
    ASSERT_TRUE(m.ok()) << m.error();
    simtest::map_all_stores(dev);
    ASSERT_EQ(qvctl("store create changelog " + dev).status, 0);
    qvtest::sh_ok("dd if=/dev/urandom of=" + m.file("f") + " bs=64K count=1 conv=fsync status=none");
    struct query {
        std::string args, expr, expect;
    };
    const query queries[] = {
        {"--json list", "[x['device'] for x in d['devices']], d['devices'][0]['snapshot']",
         "['" + dev + "', '" + other + "'] None"},
        {"info --json " + dev, "d['device'], d['state'], d['fs'], d['flags'], d['data_store_mapped']",
         dev + " idle ext4 7 True"},
        {"changelog count " + dev + " --json", "d['device'], d['blocks'] >= 16", dev + " True"},
        {"changelog show --json " + dev, "sum(r['count'] for r in d['runs']) >= 16, d['runs'][0]['start'] >= 0",
         "True True"},
        {"store extents changelog " + dev + " --json", "d['store'], d['extents']",
         "changelog [{'start': 1000, 'count': 16}]"},
        {"store check changelog " + dev + " --json", "d['ok'], d['code'], repr(d['message'])", "True 0 ''"},
        // A failed check is still a document.
        {"store check data " + dev + " --json", "d['ok'], d['code'] != 0, bool(d['message'])", "False True True"},
    };
    for (const query &q : queries)  // a document that does not parse prints nothing
        EXPECT_EQ(json_query(q.args, q.expr).out, q.expect + "\n") << q.args;
    EXPECT_NE(qvctl("store check data " + dev + " --json").status, 0);
    m.unmount();
    qvtest::sh(bin + " detach " + dev + "; " + bin + " detach " + other);
}

}  // namespace
