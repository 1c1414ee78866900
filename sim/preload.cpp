// SPDX-License-Identifier: GPL-2.0-or-later
// libqvsim_preload.so: interposes ioctl. Control-device requests go to qvsimd; HDIO_GETGEO on a
// partition of a qvsim disk answers its start sector as a disk driver would; the rest is libc's.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <linux/hdreg.h>
#include <string>
#include <unistd.h>

#include "paths.h"
#include "wire.h"

namespace {

using ioctl_fn = int (*)(int, unsigned long, ...);

ioctl_fn next_ioctl()
{
    static ioctl_fn fn = reinterpret_cast<ioctl_fn>(::dlsym(RTLD_NEXT, "ioctl"));
    return fn;
}

std::string fd_target(int fd)
{
    char link[64], buf[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string read_line(const std::string &path)
{
    char buf[512] = {};
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return {};
    if (!std::fgets(buf, sizeof buf, f))
        buf[0] = 0;
    std::fclose(f);
    std::string s(buf);
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

int forward(unsigned long code, void *arg)
{
    auto *block = static_cast<char *>(arg);
    std::uint32_t size = 0;
    std::memcpy(&size, block + 4, 4);
    // As the kernel reads it: at least the fixed 528 bytes, the whole block when its size is sane.
    std::uint32_t len = size < 528 || size > qvsim::max_block ? 528 : size;
    std::string out;
    int err = qvsim::exchange(qvsim::msg_request, static_cast<std::uint32_t>(code), block, len, out);
    if (err < 0)
        err = ENODEV;
    if (err) {
        errno = err;
        return -1;
    }
    std::memcpy(block, out.data(), std::min<std::size_t>(out.size(), len));
    return 0;
}

// A partition of one of our disks: /dev/loopNpM whose loop is backed by a file of the FUSE mount.
int geometry(const std::string &target, void *arg)
{
    auto name = target.substr(5);
    auto p = name.rfind('p');
    if (name.rfind("loop", 0) != 0 || p == std::string::npos || p < 5)
        return 1;
    std::string start = read_line("/sys/class/block/" + name + "/start");
    std::string backing = read_line("/sys/class/block/" + name.substr(0, p) + "/loop/backing_file");
    if (start.empty() || backing.rfind(std::string(qvsim::fs_dir) + "/", 0) != 0)
        return 1;
    hd_geometry g{};
    g.heads = 255;
    g.sectors = 63;
    g.cylinders = 0;
    g.start = std::stoul(start);
    std::memcpy(arg, &g, sizeof g);
    return 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long code, ...)
{
    va_list ap;
    va_start(ap, code);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if ((code >= 0x82104200ul && code <= 0x8210420eul) || code == HDIO_GETGEO) {
        std::string target = fd_target(fd);
        if (code != HDIO_GETGEO && target == qvsim::node_path)
            return forward(code, arg);
        if (code == HDIO_GETGEO && target.rfind("/dev/", 0) == 0 && arg && geometry(target, arg) == 0)
            return 0;
    }
    return next_ioctl()(fd, code, arg);
}
