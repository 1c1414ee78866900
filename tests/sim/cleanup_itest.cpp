// SPDX-License-Identifier: GPL-2.0-or-later
// `qvsim stop` leaves the machine as it was before `qvsim start`: loop devices, mounts and the
// control node, also when the daemon died by SIGKILL with disks, mounts and a snapshot live. A
// loop device and mount of someone else's stay as they are.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <unistd.h>

#include "capability.h"
#include "fs_helpers.h"
#include "loop_image.h"
#include "qvsim.h"
#include "sim_helpers.h"
#include "temp_dir.h"

using namespace simtest;

namespace {

struct machine {
    std::string loops, mounts;
    bool node = false;
    bool operator==(const machine &) const = default;
};

machine now()
{
    return {qvtest::sh("losetup -a | sort").out, read_file("/proc/mounts"), ::access("/dev/quorvex", F_OK) == 0};
}

std::string qvsim_cmd(const std::string &args) { return qvtest::sh_ok(qvtest::qvsim_bin() + " " + args); }

// Starts the daemon and makes what a session makes: two disks, one with a partition, a mounted
// filesystem, attached devices with stores, and a snapshot mounted read-only.
void busy_session(const qvtest::temp_dir &tmp)
{
    qvsim_cmd("start");
    std::string a = qvtest::trimmed(qvsim_cmd("disk create 256M")), b = qvtest::trimmed(qvsim_cmd("disk create 64M --partition 2048"));
    ASSERT_EQ(a.rfind("/dev/loop", 0), 0u) << a;
    ASSERT_EQ(b.rfind("/dev/loop", 0), 0u) << b;
    qvtest::sh_ok("mkfs.ext4 -q -F " + a);
    ::mkdir(tmp.file("live").c_str(), 0755);
    ::mkdir(tmp.file("snap").c_str(), 0755);
    qvtest::sh_ok("mount " + a + " " + tmp.file("live"));
    ASSERT_TRUE(write_file(tmp.file("live") + "/f", pattern(100000, 1)));
    ASSERT_EQ(attach(a, 3).code, 0u);
    ASSERT_EQ(attach(b).code, 0u);
    map_all_stores(a);
    auto start = send(4, a);
    ASSERT_EQ(start.code, 0u) << start.message;
    qvtest::sh_ok("mount -o ro /dev/" + start.text(137) + " " + tmp.file("snap"));
    ASSERT_EQ(send(10, b).code, 0u);  // and a mark watch running
}

}  // namespace

// Also after the daemon died by SIGKILL, and the next start works from there.
TEST(SimCleanup, StopLeavesTheMachineAsBeforeStart)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "running");
        qvtest::qvsim sim;  // holds the fixture lock; its daemon is stopped first
        qvtest::temp_dir tmp;
        qvsim_cmd("stop");
        qvtest::loop_image other({.fs = "ext4"});
        ASSERT_TRUE(other.ok()) << other.error();
        machine before = now();
        ASSERT_FALSE(before.node);

        busy_session(tmp);
        EXPECT_NE(now(), before);
        if (killed) {
            int pid = 0;
            std::ifstream("/run/qvsim/qvsimd.pid") >> pid;
            ASSERT_GT(pid, 0);
            ASSERT_EQ(::kill(pid, SIGKILL), 0);
            for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i)
                ::usleep(20000);
            EXPECT_NE(qvtest::sh(qvtest::qvsim_bin() + " status").status, 0);
        }
        EXPECT_EQ(qvtest::trimmed(qvsim_cmd("stop")), "qvsim: stopped");
        EXPECT_EQ(now(), before);
        if (killed) {
            qvsim_cmd("start");
            EXPECT_NE(qvsim_cmd("disk create 64M").find("/dev/loop"), std::string::npos);
        }
    }
}
