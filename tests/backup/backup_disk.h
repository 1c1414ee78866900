// SPDX-License-Identifier: GPL-2.0-or-later
// A disk of the stand-in ready for backups: ext4 on it (so that snapshot devices show their type at
// once), attached, its three stores mapped, and a directory for the repository.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "../sim/sim_helpers.h"
#include "../sim/fs_helpers.h"
#include "chain_manifest.h"
#include "repo.h"
#include "repo_delta.h"
#include "qvsim.h"
#include "shell.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace backuptest {

inline const std::string qvctl_bin = QVCTL_BIN;
inline const std::string qvsnap_bin = QVSNAP_BIN;

struct backup_disk {
    qvtest::qvsim sim;
    std::string dev, identity;  // where `qvctl attach` keeps the device's identity, removed at the end
    qvtest::temp_dir dir;
    std::string repo = dir.file("repo");
    std::string image = repo + "/image";

    explicit backup_disk(const std::string &size = "16M")
    {
        dev = sim.disk(size);
        if (dev.empty())
            return;
        qvtest::sh_ok("mkfs.ext4 -q -F " + dev);
        // Through the command, which records the attach identity that incrementals check.
        struct stat sb {};
        ::stat(dev.c_str(), &sb);
        identity = "/run/quorvex/attach-" + std::to_string(major(sb.st_rdev)) + ":" + std::to_string(minor(sb.st_rdev));
        qvtest::sh_ok(qvctl_bin + " attach " + dev);
        simtest::map_all_stores(dev);
    }
    ~backup_disk()
    {
        if (!identity.empty())
            ::unlink(identity.c_str());
    }

    // Blocks first, first + step, ... (count of them) filled with `fill`, written through to the disk.
    void write(std::uint64_t first, std::uint64_t count, char fill, std::uint64_t step = 1)
    {
        qv::unique_fd fd(::open(dev.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        std::string data = simtest::pattern(4096, static_cast<unsigned char>(fill));
        for (std::uint64_t i = 0; i < count; ++i)
            ASSERT_EQ(::pwrite(fd.get(), data.data(), 4096, static_cast<off_t>((first + i * step) * 4096)), 4096);
        ASSERT_EQ(::fsync(fd.get()), 0);
    }

    // Takes a snapshot behind the backups' back; its device, or "".
    std::string snapshot()
    {
        auto s = simtest::send(4, dev);
        EXPECT_EQ(s.code, 0u) << s.message;
        return s.code ? "" : "/dev/" + s.text(137);
    }
    bool snapshot_held() { return simtest::send(6, dev).code == 0; }
    void cancel() { EXPECT_EQ(simtest::send(5, dev, 528, [](qv::mut_bytes b) { b[136] = 1; }).code, 0u); }

    qvtest::run_result qvctl(const std::string &args) { return qvtest::sh(qvctl_bin + " " + args); }
    std::string backup() const { return qvctl_bin + " backup " + dev + " " + repo; }

    // The device's bytes now: with nothing mounted, what the next backup's snapshot holds.
    std::string bytes() { return simtest::read_file(dev); }

    // Point `point` restored into a file, compared with `expected`.
    void expect_point(std::uint64_t point, const std::string &expected) { expect_point_in(repo, point, expected); }
    void expect_point_in(const std::string &in, std::uint64_t point, const std::string &expected)
    {
        const std::string out = dir.file("restored");
        auto r = qvctl("repo restore " + in + "@" + std::to_string(point) + " " + out);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(simtest::read_file(out) == expected) << "point " << point << " differs from the device at its backup";
        ::unlink(out.c_str());
    }

    // `command` on a slow snapshot device, cut by `sig` `delay_us` after its output shows `begun`:
    // its status (128 + N for a signal N) and output.
    qvtest::run_result cut_short(const std::string &command, int sig, const std::string &begun,
                                 useconds_t delay_us = 300000)
    {
        return run_until(command, begun, [&](pid_t pid) {
            ::usleep(delay_us);
            ::kill(pid, sig);
        });
    }

    // `command` on a slow snapshot device, `then(pid)` called once its output shows `begun` (unless
    // it ended before): its status (128 + N for a signal N) and output. A child that runs on for
    // 120 s after is killed.
    template <class Then>
    qvtest::run_result run_until(const std::string &command, const std::string &begun, Then &&then)
    {
        sim.quirk("slow-reads 30000");
        const std::string log = dir.file("cut.out");
        // Emptied before the child starts, so that an earlier run's output is never taken for this one's.
        qv::unique_fd out(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out.get(), 1);
            ::dup2(out.get(), 2);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        out.reset();
        if (pid < 0) {  // never signal -1, which is every process
            ADD_FAILURE() << "fork failed";
            return {};
        }
        int st = 0;
        bool done = false;
        auto ended = [&] { return done = done || ::waitpid(pid, &st, WNOHANG) == pid; };
        for (int i = 0; i < 400 && !ended() && simtest::read_file(log).find(begun) == std::string::npos; ++i)
            ::usleep(50000);
        if (!done)
            then(pid);
        for (int i = 0; i < 2400 && !ended(); ++i)
            ::usleep(50000);
        if (!done) {
            ADD_FAILURE() << "still running after 120 s, killed";
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        }
        sim.quirk_clear();
        return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), simtest::read_file(log)};
    }

    std::vector<qvctl_cli::chain_record> chain()
    {
        std::vector<qvctl_cli::chain_record> records;
        qvctl_status st{};
        EXPECT_TRUE(qvctl_cli::chain_read(repo + "/manifest", records, st)) << st.message;
        return records;
    }
};

// The incomplete mark of a file, or "" without one.
inline std::string mark_of(const std::string &path)
{
    char value[256];
    ssize_t n = ::getxattr(path.c_str(), "user.quorvex.incomplete", value, sizeof value);
    return n < 0 ? "" : std::string(value, static_cast<std::size_t>(n));
}

// An unfinished image carries a mark beginning with `start`, where its filesystem keeps user
// extended attributes; tmpfs keeps none before Linux 6.6, and the run then goes on without a mark,
// so there is nothing to check.
inline void expect_marked(const std::string &path, const std::string &start)
{
    if (::setxattr(path.c_str(), "user.quorvex.probe", "", 0, 0) != 0 && errno == ENOTSUP)
        return;
    ::removexattr(path.c_str(), "user.quorvex.probe");
    EXPECT_EQ(mark_of(path).rfind(start, 0), 0u) << "mark: " << mark_of(path);
}

}  // namespace backuptest
