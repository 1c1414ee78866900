// SPDX-License-Identifier: GPL-2.0-or-later
#include "qvsim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace qvtest {
namespace {

// Re-executes the test binary with the shim preloaded, before gtest sees the arguments.
__attribute__((constructor)) void preload_self()
{
    if (std::getenv("QVSIM_PRELOADED") || ::access(qvsim_shim().c_str(), R_OK) != 0)
        return;
    std::string all;
    {
        std::ifstream f("/proc/self/cmdline", std::ios::binary);  // closed before the exec
        all.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    std::vector<char *> argv;
    for (std::size_t p = 0; p < all.size(); p += std::strlen(&all[p]) + 1)
        argv.push_back(&all[p]);
    argv.push_back(nullptr);
    const char *old = std::getenv("LD_PRELOAD");
    std::string pre = qvsim_shim() + (old && *old ? ":" + std::string(old) : "");
    ::setenv("LD_PRELOAD", pre.c_str(), 1);
    ::setenv("QVSIM_PRELOADED", "1", 1);
    // The shim comes before a sanitizer runtime in the list of libraries; that is fine here.
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string opts = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", opts.c_str(), 1);
    ::execv("/proc/self/exe", argv.data());
}

}  // namespace

std::string qvsim_bin() { return std::string(QV_BUILD_DIR) + "/sim/qvsim"; }
std::string qvsim_shim() { return std::string(QV_BUILD_DIR) + "/sim/libqvsim_preload.so"; }

qvsim::qvsim()
{
    lock_fd_ = ::open("/run/qvsim-fixture.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ >= 0)
        ::flock(lock_fd_, LOCK_EX);
    sh(qvsim_bin() + " stop");  // whatever an earlier, killed run left
    auto r = sh(qvsim_bin() + " start");
    up_ = r.status == 0;
    if (!up_)
        ADD_FAILURE() << "qvsim start: " << r.out;
}

qvsim::~qvsim()
{
    sh(qvsim_bin() + " stop");
    if (lock_fd_ >= 0)
        ::close(lock_fd_);
}

std::string qvsim::disk(const std::string &size, unsigned long partition_start)
{
    std::string cmd = qvsim_bin() + " disk create " + size;
    if (partition_start)
        cmd += " --partition " + std::to_string(partition_start);
    auto r = sh(cmd);
    if (r.status != 0 || r.out.rfind("/dev/", 0) != 0) {
        ADD_FAILURE() << cmd << ": " << r.out;
        return "";
    }
    return trimmed(r.out);
}

void qvsim::fault(unsigned nr, long value, unsigned count)
{
    sh_ok(qvsim_bin() + " fault " + std::to_string(nr) + " " + std::to_string(value) + " " + std::to_string(count));
}
void qvsim::fault_clear() { sh_ok(qvsim_bin() + " fault clear"); }
void qvsim::quirk(const std::string &name) { sh_ok(qvsim_bin() + " quirk " + name); }
void qvsim::quirk_clear() { sh_ok(qvsim_bin() + " quirk clear"); }
std::string qvsim::dump(bool extents) { return sh_ok(qvsim_bin() + (extents ? " dump --extents" : " dump")); }
run_result qvsim::run(const std::string &command) { return sh(qvsim_bin() + " run -- sh -c '" + command + "'"); }

}  // namespace qvtest
