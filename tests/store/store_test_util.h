// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers shared by the store tests: file-size limits of the process, file facts, read-back.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "../sim/fs_helpers.h"

namespace storetest {

// Lowers this process's file-size limit for its lifetime, the way a filesystem with a size cap
// would refuse a larger ftruncate (EFBIG), and ignores the signal that comes with the refusal.
class fsize_limit {
public:
    explicit fsize_limit(std::uint64_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        struct rlimit lim = old_;
        lim.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lim);
        old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    }
    ~fsize_limit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        ::signal(SIGXFSZ, old_handler_);
    }
    fsize_limit(const fsize_limit &) = delete;
    fsize_limit &operator=(const fsize_limit &) = delete;

private:
    struct rlimit old_ {};
    sighandler_t old_handler_ = SIG_DFL;
};

inline bool exists(const std::string &p)
{
    struct stat sb;
    return ::lstat(p.c_str(), &sb) == 0;
}

inline std::int64_t size_of(const std::string &p)
{
    struct stat sb;
    return ::stat(p.c_str(), &sb) == 0 ? sb.st_size : -1;
}

// Allocated: exact size and 512-byte blocks covering it.
inline bool allocated(const std::string &p, std::uint64_t size)
{
    struct stat sb;
    return ::stat(p.c_str(), &sb) == 0 && static_cast<std::uint64_t>(sb.st_size) == size &&
           static_cast<std::uint64_t>(sb.st_blocks) * 512 >= size;
}

inline std::string read_all(const std::string &p) { return simtest::read_file(p); }

inline bool all_zero(const std::string &s) { return s.find_first_not_of('\0') == std::string::npos; }

}  // namespace storetest
