// SPDX-License-Identifier: GPL-2.0-or-later
// A program run in the background with its output collected, bounded in time: a child that
// outlives its limit is killed and the test fails.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "unique_fd.h"

namespace backuptest {

class child {
public:
    // Runs `command` with /bin/sh -c, standard output and error into one pipe.
    explicit child(const std::string &command)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        out_fd_.reset(fds[0]);
    }
    ~child() { stop(); }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    pid_t pid() const { return pid_; }
    const std::string &out() const { return out_; }
    void signal(int sig)
    {
        if (pid_ > 0)  // never -1, which is every process
            ::kill(pid_, sig);
    }

    // Reads output until it holds `text`, the child ends, or `seconds` pass; answers whether it holds it.
    bool wait_for(const std::string &text, double seconds = 20)
    {
        const auto end = deadline(seconds);
        while (out_.find(text) == std::string::npos && clock::now() < end && read_some(50) >= 0) {
        }
        return out_.find(text) != std::string::npos;
    }

    // The exit status, or 128 + N for a signal N; a child still running after `seconds` is
    // killed and fails the test.
    int finish(double seconds = 60)
    {
        const auto end = deadline(seconds);
        for (int st = 0; status_ == unknown;) {
            read_some(50);
            if (pid_ > 0 && ::waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            } else if (pid_ <= 0 || clock::now() > end) {
                ADD_FAILURE() << "still running after " << seconds << " s, killed: " << out_;
                stop();
            }
        }
        while (read_some(0) > 0) {
        }
        return status_;
    }

private:
    using clock = std::chrono::steady_clock;
    static constexpr int unknown = -2;

    static clock::time_point deadline(double seconds)
    {
        return clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    }

    void stop()
    {
        if (pid_ > 0 && status_ == unknown) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (status_ == unknown)
            status_ = -1;
    }

    // 1 when output was read, 0 when none came in `ms`, -1 at its end.
    int read_some(int ms)
    {
        pollfd p{out_fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return 0;
        char buf[4096];
        ssize_t n = ::read(out_fd_.get(), buf, sizeof buf);
        if (n <= 0)
            return -1;
        out_.append(buf, static_cast<std::size_t>(n));
        return 1;
    }

    pid_t pid_ = -1;
    qv::unique_fd out_fd_;
    int status_ = unknown;
    std::string out_;
};

}  // namespace backuptest
