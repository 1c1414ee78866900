// SPDX-License-Identifier: GPL-2.0-or-later
// One line on a terminal for a long run: blocks done of the total, the rate and the time left,
// redrawn twice a second by a thread of its own while workers count. Silent off a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace qvctl_cli {

class progress_meter {
public:
    // Shown only when `shown` (standard output a terminal and no --json).
    progress_meter(std::string what, std::uint64_t total, bool shown);
    ~progress_meter();
    progress_meter(const progress_meter &) = delete;
    progress_meter &operator=(const progress_meter &) = delete;

    void add(std::uint64_t blocks) { done_.fetch_add(blocks, std::memory_order_relaxed); }
    void total(std::uint64_t blocks) { total_.store(blocks, std::memory_order_relaxed); }
    // Ends the line, so that what is printed next starts on its own.
    void stop();

    // The line for `done` of `total` blocks after `seconds`.
    static std::string line(const std::string &what, std::uint64_t done, std::uint64_t total, double seconds);

private:
    void run();
    std::string what_;
    std::atomic<std::uint64_t> done_{0}, total_{0};
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qvctl_cli
