// SPDX-License-Identifier: GPL-2.0-or-later
// Framing on the daemon's socket: u32 kind, u32 code, u32 length, bytes; the answer is
// i32 errno value, u32 length, bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "paths.h"

namespace qvsim {

inline bool write_all(int fd, const void *p, std::size_t n)
{
    auto *c = static_cast<const char *>(p);
    while (n) {
        ssize_t w = ::write(fd, c, n);
        if (w <= 0)
            return false;
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

inline bool read_all(int fd, void *p, std::size_t n)
{
    auto *c = static_cast<char *>(p);
    while (n) {
        ssize_t r = ::read(fd, c, n);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

inline int connect_daemon()
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_path);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One exchange; answers the daemon's errno value (0 success), or -1 when the daemon is unreachable.
inline int exchange(std::uint32_t kind, std::uint32_t code, const void *in, std::uint32_t len,
                    std::string &out)
{
    int fd = connect_daemon();
    if (fd < 0)
        return -1;
    std::uint32_t hdr[3] = {kind, code, len};
    std::int32_t err = -1;
    std::uint32_t olen = 0;
    bool ok = write_all(fd, hdr, sizeof hdr) && write_all(fd, in, len) && read_all(fd, &err, 4) &&
              read_all(fd, &olen, 4) && olen <= max_block + 65536;
    if (ok) {
        out.resize(olen);
        ok = read_all(fd, out.data(), olen);
    }
    ::close(fd);
    return ok ? err : -1;
}

}  // namespace qvsim
