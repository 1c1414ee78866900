// SPDX-License-Identifier: LGPL-2.1-or-later
// One owner per descriptor: closed on every path, moved out when ownership passes on.
#pragma once

#include <unistd.h>

#include <utility>

namespace qv {

class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept
    {
        int old = std::exchange(fd_, fd);
        if (old >= 0)
            ::close(old);
    }

private:
    int fd_ = -1;
};

}  // namespace qv
