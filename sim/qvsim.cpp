// SPDX-License-Identifier: GPL-2.0-or-later
// qvsim: the command line of the stand-in module.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "paths.h"
#include "run_out.h"
#include "wire.h"

namespace {

using namespace qvsim;

std::string self_dir()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string s(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    return s.substr(0, s.rfind('/'));
}

bool daemon_up()
{
    std::string out;
    return exchange(msg_command, 0, "ping", 4, out) == 0;
}

int daemon_pid()
{
    std::ifstream f(pid_path);
    int pid = 0;
    return f >> pid && pid > 0 && ::kill(pid, 0) == 0 ? pid : 0;
}

int usage(FILE *to = stderr, int code = 2)
{
    std::fprintf(to,
                 "usage: qvsim start | stop | status | disk create SIZE [--partition START] | disk remove DEV |\n"
                 "       run -- CMD... | fault NR VALUE [COUNT] | fault clear | quirk NAME | quirk clear |\n"
                 "       dump [--extents]\n");
    return code;
}

// What a crashed daemon leaves: mounts and loops over our FUSE files, the FUSE mount, the node.
void sweep()
{
    std::string loops = run_out(std::string("losetup -nO NAME,BACK-FILE 2>/dev/null | awk '$2 ~ \"^") + fs_dir +
                               "/\" {print $1}'");
    std::ifstream listed(loops_path);
    for (std::string l; listed >> l;)
        loops += l + "\n";
    std::vector<std::string> devs;
    for (std::size_t p = 0, q; (q = loops.find('\n', p)) != std::string::npos; p = q + 1)
        if (q > p)
            devs.push_back(loops.substr(p, q - p));
    for (auto &d : devs) {
        std::string back = run_out("cat /sys/block/" + d.substr(5) + "/loop/backing_file 2>/dev/null");
        if (back.rfind(std::string(fs_dir) + "/", 0) != 0)
            continue;  // detached, or reused since by someone else: not ours to touch
        run_out("awk '$1 ~ \"^" + d + "(p[0-9]+)?$\" {print $2}' /proc/mounts | sort -r | "
               "while read m; do umount \"$m\" 2>/dev/null || umount -l \"$m\"; done");
        run_out("partx -d " + d + " >/dev/null 2>&1; losetup -d " + d + " 2>/dev/null");
    }
    run_out(std::string("umount ") + fs_dir + " 2>/dev/null || umount -l " + fs_dir + " 2>/dev/null");
    ::unlink(node_path);
    ::unlink(socket_path);
    ::unlink(loops_path);
    ::unlink(pid_path);
    run_out(std::string("rm -rf ") + data_dir);
}

int start()
{
    if (daemon_up()) {
        std::printf("qvsim: running, log: %s\n", log_path);
        return 0;
    }
    sweep();  // what a daemon that died left would stop the new one mounting
    ::mkdir(state_dir, 0755);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        // Whatever the daemon prints (a sanitizer's report, say) goes to its log.
        int null = ::open("/dev/null", O_RDONLY);
        int log = ::open(log_path, O_WRONLY | O_APPEND | O_CREAT, 0644);
        ::dup2(null, 0), ::dup2(log, 1), ::dup2(log, 2);
        // A daemon outlives its starter: it must not keep the starter's descriptors (a lock, say).
        ::close_range(3, ~0u, 0);
        std::string exe = self_dir() + "/qvsimd";
        ::execl(exe.c_str(), "qvsimd", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        if (daemon_up()) {
            std::printf("qvsim: started, log: %s\n", log_path);
            return 0;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "qvsim: the daemon failed to start, see %s\n", log_path);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "qvsim: the daemon does not answer, see %s\n", log_path);
    return 1;
}

// The control node or the FUSE mount with no daemon answering.
bool leftovers()
{
    std::ifstream mounts("/proc/mounts");
    std::string src, dir, rest;
    while (mounts >> src >> dir && std::getline(mounts, rest))
        if (dir == fs_dir)
            return true;
    return ::access(node_path, F_OK) == 0;
}

int stop()
{
    int pid = daemon_pid();
    std::string out;
    if (exchange(msg_command, 0, "stop", 4, out) == 0 && pid)
        for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if ((pid = daemon_pid()) != 0) {
        ::kill(pid, SIGKILL);
        for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    sweep();
    std::printf("qvsim: stopped\n");
    return 0;
}

int command(const std::string &line)
{
    std::string out;
    int err = exchange(msg_command, 0, line.data(), static_cast<std::uint32_t>(line.size()), out);
    if (err < 0) {
        std::fprintf(stderr, "qvsim: the daemon is not running (qvsim start)\n");
        return 1;
    }
    if (err && !out.empty())
        std::fprintf(stderr, "qvsim: %s", out.c_str());
    else
        std::fputs(out.c_str(), stdout);
    if (err == EPERM)
        std::fprintf(stderr, "qvsim: permission denied, you must be root\n");
    return err ? 1 : 0;
}

int run(int argc, char **argv, int first)
{
    if (first >= argc)
        return usage();
    std::string shim = self_dir() + "/libqvsim_preload.so";
    const char *old = std::getenv("LD_PRELOAD");
    std::string pre = old && *old ? shim + ":" + old : shim;
    ::setenv("LD_PRELOAD", pre.c_str(), 1);
    ::setenv("QVSIM_PRELOADED", "1", 1);
    ::execvp(argv[first], argv + first);
    std::fprintf(stderr, "qvsim: %s: %s\n", argv[first], std::strerror(errno));
    return 127;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string verb = argv[1];
    if (verb == "--help" || verb == "-h")
        return usage(stdout, 0);
    if (verb == "start")
        return start();
    if (verb == "stop")
        return stop();
    if (verb == "status") {
        bool up = daemon_up();
        if (up)
            std::printf("qvsim: running (pid %d), log: %s\n", daemon_pid(), log_path);
        else if (leftovers())
            std::printf("qvsim: stopped, but a daemon that died left state behind (qvsim stop clears it)\n");
        else
            std::printf("qvsim: stopped, log: %s\n", log_path);
        return up ? 0 : 3;
    }
    if (verb == "run")
        return run(argc, argv, argc > 2 && std::strcmp(argv[2], "--") == 0 ? 3 : 2);
    static constexpr const char *forwarded[] = {"disk", "fault", "quirk", "dump"};
    for (const char *f : forwarded)
        if (verb == f) {
            std::string line;
            for (int i = 1; i < argc; ++i)
                line += (i > 1 ? " " : "") + std::string(argv[i]);
            return command(line);
        }
    return usage();
}
