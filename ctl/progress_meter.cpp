// SPDX-License-Identifier: GPL-2.0-or-later
#include "progress_meter.h"

#include <cstdio>

namespace qvctl_cli {

namespace {

constexpr auto redraw = std::chrono::milliseconds(500);
constexpr double block_megabytes = 4096.0 / 1e6;

std::string duration(double seconds)
{
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%lluh%02llum", s / 3600, s / 60 % 60);
    else
        std::snprintf(buf, sizeof buf, "%llum%02llus", s / 60, s % 60);
    return buf;
}

}  // namespace

std::string progress_meter::line(const std::string &what, std::uint64_t done, std::uint64_t total, double seconds)
{
    const double rate = seconds > 0 ? static_cast<double>(done) * block_megabytes / seconds : 0;
    std::string left = "--";
    if (done && total >= done && seconds > 0)
        left = duration(seconds * static_cast<double>(total - done) / static_cast<double>(done));
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s: %llu / %llu blocks, %.1f MB/s, %s left", what.c_str(),
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), rate, left.c_str());
    return buf;
}

progress_meter::progress_meter(std::string what, std::uint64_t total, bool shown)
    : what_(std::move(what)), total_(total)
{
    if (shown)
        thread_ = std::thread([this] { run(); });
}

progress_meter::~progress_meter() { stop(); }

void progress_meter::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        const bool last = wake_.wait_for(lock, redraw, [this] { return stopping_; });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::printf("\r%s\033[K%s", line(what_, done_.load(std::memory_order_relaxed),
                                         total_.load(std::memory_order_relaxed), seconds)
                                        .c_str(),
                    last ? "\n" : "");
        std::fflush(stdout);
        if (last)
            return;
    }
}

void progress_meter::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

}  // namespace qvctl_cli
