// SPDX-License-Identifier: GPL-2.0-or-later
// No descriptor of the library or the engine reaches a program that their caller starts: while
// every kind of operation runs, another thread starts children without pause, and each child lists
// the descriptors it inherited.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "../sim/fs_helpers.h"
#include "capability.h"
#include "qvctl.h"
#include "qvsim.h"
#include "snap.h"
#include "temp_dir.h"

extern char **environ;

namespace {

// The descriptors above 2 that a child of this process holds, as "N -> target" lines of `ls -l`.
std::set<std::string> child_descriptors()
{
    std::set<std::string> found;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return found;
    posix_spawn_file_actions_t acts;
    posix_spawn_file_actions_init(&acts);
    posix_spawn_file_actions_adddup2(&acts, p[1], STDOUT_FILENO);
    char sh[] = "sh", c[] = "-c", cmd[] = "ls -l /proc/$$/fd";
    char *argv[] = {sh, c, cmd, nullptr};
    pid_t pid;
    const int r = posix_spawn(&pid, "/bin/sh", &acts, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&acts);
    ::close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    ::close(p[0]);
    if (r == 0)
        ::waitpid(pid, nullptr, 0);
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto arrow = line.find(" -> ");
        const auto space = arrow == std::string::npos ? arrow : line.rfind(' ', arrow - 1);
        if (space != std::string::npos && std::atoi(line.c_str() + space + 1) > 2)
            found.insert(line.substr(space + 1));
    }
    return found;
}

// Starts children without pause until stopped. What this process had from its own parent before
// (the runner's lock and log) is not the operations' doing and is left out.
class child_watch {
public:
    child_watch() : before_(child_descriptors()), thread_([this] { run(); }) {}
    ~child_watch() { stop(); }
    void stop()
    {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int children() const { return children_; }
    std::string inherited()
    {
        std::lock_guard lock(m_);
        std::string out;
        for (const auto &line : found_)
            if (!before_.contains(line))
                out += "\n  " + line;
        return out;
    }

private:
    void run()
    {
        while (!done_) {
            auto found = child_descriptors();
            ++children_;
            std::lock_guard lock(m_);
            found_.merge(found);
        }
    }

    const std::set<std::string> before_;
    std::atomic<bool> done_{false};
    std::atomic<int> children_{0};
    std::mutex m_;
    std::set<std::string> found_;
    std::thread thread_;
};

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

    child_watch watch;
    for (int round = 0; round < 3; ++round) {
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
    watch.stop();
    EXPECT_GT(watch.children(), 10);
    const std::string inherited = watch.inherited();
    EXPECT_EQ(inherited, "") << "a child inherited:" << inherited;
}
