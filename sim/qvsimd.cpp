// SPDX-License-Identifier: GPL-2.0-or-later
// qvsimd: the stand-in module's daemon. Owns the FUSE filesystem, the control node and the socket;
// serves requests one at a time on the main thread while FUSE runs on threads of its own.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "paths.h"
#include "state.h"
#include "wire.h"

namespace qvsim {

state &global()
{
    static state s;
    return s;
}

void log_line(const char *fmt, ...)
{
    static std::mutex mu;
    std::lock_guard lock(mu);
    FILE *f = std::fopen(log_path, "a");
    if (!f)
        return;
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::gmtime(&t));
    std::fprintf(f, "%s ", stamp);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fclose(f);
}

namespace {

std::atomic<bool> stopping{false};
int listen_fd = -1;

void on_signal(int) { stopping = true; if (listen_fd >= 0) ::shutdown(listen_fd, SHUT_RDWR); }

int listen_socket()
{
    ::unlink(socket_path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0)
        return -1;
    ::chmod(socket_path, 0666);  // anyone may connect; the peer's uid decides
    return fd;
}

void serve(int fd)
{
    std::uint32_t hdr[3];
    ucred cred{};
    socklen_t clen = sizeof cred;
    if (!read_all(fd, hdr, sizeof hdr) || hdr[2] > max_block)
        return;
    std::string body(hdr[2], '\0');
    if (!read_all(fd, body.data(), body.size()))
        return;
    std::int32_t err = 0;
    std::string out;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &clen) != 0 || cred.uid != 0) {
        err = EPERM;
    } else if (hdr[0] == msg_request) {
        err = handle_request(hdr[1], body);
        out = err ? std::string() : body;
    } else if (body == "stop") {
        stopping = true;
    } else {
        err = handle_command(body, out);
    }
    std::uint32_t olen = static_cast<std::uint32_t>(out.size());
    write_all(fd, &err, 4) && write_all(fd, &olen, 4) && write_all(fd, out.data(), out.size());
}

}  // namespace
}  // namespace qvsim

int main()
{
    using namespace qvsim;
    ::umask(022);
    ::mkdir(state_dir, 0755);
    ::mkdir(fs_dir, 0700);
    ::mkdir(data_dir, 0700);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    if (int e = fuse_start()) {
        log_line("cannot mount the FUSE filesystem on %s", fs_dir);
        return e;
    }
    ::unlink(node_path);
    // The numbers of the null device: the node must open, and the shim takes its ioctls.
    if (::mknod(node_path, S_IFCHR | 0600, makedev(1, 3)) != 0)
        log_line("mknod %s: %s", node_path, std::strerror(errno));
    listen_fd = listen_socket();
    if (listen_fd < 0) {
        log_line("cannot listen on %s: %s", socket_path, std::strerror(errno));
        fuse_stop();
        ::unlink(node_path);
        return 1;
    }
    if (FILE *p = std::fopen(pid_path, "w")) {
        std::fprintf(p, "%d\n", ::getpid());
        std::fclose(p);
    }
    log_line("qvsimd %d started", ::getpid());
    while (!stopping) {
        int c = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        serve(c);
        ::close(c);
    }
    ::close(listen_fd);
    ::unlink(socket_path);
    teardown();
    ::unlink(node_path);
    fuse_stop();
    ::unlink(loops_path);
    ::unlink(pid_path);
    log_line("qvsimd stopped");
    return 0;
}
