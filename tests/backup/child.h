// SPDX-License-Identifier: GPL-2.0-or-later
// A program run in the background, its output collected in a file, bounded in time: a child that
// outlives its limit is killed and the test fails.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "../sim/fs_helpers.h"
#include "temp_dir.h"

namespace backuptest {

class child {
public:
    // Runs `command` with /bin/sh -c, standard output and error into one file.
    explicit child(const std::string &command)
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    ~child() { stop(); }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    std::string out() const { return simtest::read_file(log_); }
    void signal(int sig)
    {
        if (pid_ > 0)  // never -1, which is every process
            ::kill(pid_, sig);
    }
    // Whether the output comes to hold `text` before the child ends or 20 s pass.
    bool wait_for(const std::string &text)
    {
        for (int i = 0; i < 400 && out().find(text) == std::string::npos && !ended(); ++i)
            ::usleep(50000);
        return out().find(text) != std::string::npos;
    }
    // The exit status, or 128 + N for a signal N; a child still running after 60 s is killed.
    int finish()
    {
        for (int i = 0; i < 1200 && !ended(); ++i)
            ::usleep(50000);
        if (status_ == unknown) {
            ADD_FAILURE() << "still running after 60 s, killed: " << out();
            stop();
        }
        return status_;
    }

private:
    static constexpr int unknown = -2;
    void stop()
    {
        if (status_ == unknown && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        status_ = status_ == unknown ? -1 : status_;
    }
    bool ended()
    {
        int st = 0;
        if (status_ == unknown && pid_ > 0 && ::waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_ != unknown || pid_ <= 0;
    }

    qvtest::temp_dir dir_;
    std::string log_ = dir_.file("out");
    pid_t pid_ = -1;
    int status_ = unknown;
};

}  // namespace backuptest
