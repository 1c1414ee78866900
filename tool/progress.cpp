// SPDX-License-Identifier: GPL-2.0-or-later
// The copied-block counter and the progress line.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>

#include "snap_engine.h"

namespace {

// 64 bits wide, so that devices of 2^32 blocks (16 TiB) and more are counted in full.
std::atomic<uint64_t> copied_blocks{0};
// Adaptive: workers that meet on the lock spin for the one increment instead of sleeping in the kernel.
pthread_mutex_t copied_blocks_lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
std::atomic<bool> progress_stopped{false};

constexpr long progress_period_ns = 40L * 1000 * 1000;

}  // namespace

extern "C" void snap_progress_reset(void)
{
    copied_blocks.store(0, std::memory_order_relaxed);
    progress_stopped.store(false, std::memory_order_relaxed);
}

extern "C" void snap_progress_count(void)
{
    pthread_mutex_lock(&copied_blocks_lock);
    copied_blocks.store(copied_blocks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    pthread_mutex_unlock(&copied_blocks_lock);
}

extern "C" uint64_t snap_progress_copied(void) { return copied_blocks.load(std::memory_order_relaxed); }

extern "C" void snap_progress_stop(void) { progress_stopped.store(true, std::memory_order_release); }

extern "C" unsigned snap_progress_percent(uint64_t copied, uint64_t total)
{
    if (total == 0)
        return 100;
    // 128-bit, so that 100 x copied never wraps.
    return static_cast<unsigned>(static_cast<unsigned __int128>(copied) * 100 / total);
}

extern "C" int snap_progress_format(char *buf, size_t size, uint64_t copied, uint64_t total)
{
    return std::snprintf(buf, size, " %8llu / %llu (%u%%)\r", static_cast<unsigned long long>(copied),
                         static_cast<unsigned long long>(total), snap_progress_percent(copied, total));
}

extern "C" void *snap_progress_run(void *total_ptr)
{
    const uint64_t total = *static_cast<const uint64_t *>(total_ptr);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    char line[64];
    for (unsigned p = 0; p <= 99;) {
        // The flag is read before the count, so that the last line shown is the final count.
        bool stopped = progress_stopped.load(std::memory_order_acquire);
        uint64_t c = snap_progress_copied();
        p = snap_progress_percent(c, total);
        snap_progress_format(line, sizeof line, c, total);
        std::fputs(line, stdout);
        if (stopped)
            break;
        if (p <= 99) {
            timespec pause{0, progress_period_ns};
            nanosleep(&pause, nullptr);
        }
    }
    std::fputs("\n", stdout);
    return nullptr;
}
