// SPDX-License-Identifier: GPL-2.0-or-later
// No descriptor of the library or the engine reaches a program that their caller starts: while
// every kind of operation runs, another thread starts children without pause, and each child lists
// the descriptors it inherited.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "../sim/fs_helpers.h"
#include "capability.h"
#include "qvctl.h"
#include "qvsim.h"
#include "snap.h"
#include "temp_dir.h"

namespace {

// The descriptors above 2 that a child of this process holds, as "N target" lines.
std::set<std::string> child_descriptors()
{
    std::set<std::string> found;
    FILE *p = ::popen("find /proc/$$/fd -mindepth 1 -printf '%f %l\\n'", "re");
    char line[4096];
    while (p && std::fgets(line, sizeof line, p))
        if (std::atoi(line) > 2)
            found.insert(line);
    if (p)
        ::pclose(p);
    return found;
}

}  // namespace

TEST(Descriptors, NoneReachesAChildDuringAnyOperation)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    // xfs version 5, so that snapshots freeze and thaw it.
    const std::string dev = sim.disk("320M");
    ASSERT_FALSE(dev.empty());
    ASSERT_EQ(qvtest::sh("mkfs.xfs -q -f " + dev).status, 0);
    qvtest::temp_dir dir;
    simtest::mount_guard mnt(dev, dir.file("mnt"));
    ASSERT_TRUE(mnt.ok()) << mnt.error();
    const std::string image = dir.file("image");
    qvctl_status st{};

    // What this process had from its own parent (the runner's lock and log) is not the operations'.
    const std::set<std::string> before = child_descriptors();
    std::set<std::string> found;
    std::atomic<int> children{0};
    std::jthread watch([&](std::stop_token stop) {  // stopped and joined on every way out
        for (; !stop.stop_requested(); ++children)
            found.merge(child_descriptors());
    });
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(qvctl_device_attach(dev.c_str(), &st), 0u) << st.message;
        ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 16 << 20, 0, &st), 0) << st.message;
        ASSERT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_register(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_metadata_store_register(dev.c_str(), &st), 0) << st.message;
        char snap[4096];
        ASSERT_EQ(qvctl_snapshot_start(dev.c_str(), snap, 0, &st), 0u) << st.message;
        snap_options o;
        snap_options_init(&o);
        std::snprintf(o.blkdev, sizeof o.blkdev, "%s", dev.c_str());
        std::snprintf(o.snapfile, sizeof o.snapfile, "%s", image.c_str());
        o.workers = 2;
        o.flags = SNAP_HIDE_PROGRESS;
        EXPECT_EQ(snap_run(&o), 0) << o.status.message;
        qvctl_changelog_free(qvctl_changelog_get(dev.c_str(), &st));
        qvctl_device_list_free(qvctl_device_list_get(&st));
        qvctl_device_info_free(qvctl_device_info_get(dev.c_str(), &st));
        ASSERT_EQ(qvctl_snapshot_complete(dev.c_str(), &st), 0u) << st.message;
        EXPECT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_device_detach(dev.c_str(), &st), 0u) << st.message;
    }
    watch.request_stop();
    watch.join();
    EXPECT_GT(children.load(), 10);
    std::string inherited;
    for (const auto &line : found)
        if (!before.contains(line))
            inherited += "\n  " + line.substr(0, line.size() - 1);
    EXPECT_EQ(inherited, "") << "a child inherited:" << inherited;
}
