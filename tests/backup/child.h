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
        out_fd_ = fds[0];
    }
    ~child()
    {
        if (pid_ > 0 && status_ == unknown) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0)
            ::close(out_fd_);
    }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    pid_t pid() const { return pid_; }
    const std::string &out() const { return out_; }

    // Reads output until it holds `text`, the child ends, or `seconds` pass; answers whether it holds it.
    bool wait_for(const std::string &text, double seconds = 20)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (out_.find(text) == std::string::npos && std::chrono::steady_clock::now() < end)
            if (read_some(50) < 0)
                break;
        return out_.find(text) != std::string::npos;
    }

    void signal(int sig) { ::kill(pid_, sig); }

    // The exit status, or 128 + N for a signal N; a child still running after `seconds` is
    // killed and fails the test.
    int finish(double seconds = 60)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (status_ == unknown) {
            read_some(50);
            int st = 0;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "still running after " << seconds << " s, killed: " << out_;
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                status_ = -1;
            }
        }
        while (read_some(0) > 0) {
        }
        return status_;
    }

private:
    static constexpr int unknown = -2;

    // 1 when output was read, 0 when none came in `ms`, -1 at its end.
    int read_some(int ms)
    {
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return 0;
        char buf[4096];
        ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            return -1;
        out_.append(buf, static_cast<std::size_t>(n));
        return 1;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int status_ = unknown;
    std::string out_;
};

}  // namespace backuptest
