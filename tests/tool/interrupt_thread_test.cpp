// SPDX-License-Identifier: GPL-2.0-or-later
// The copy engine stopped by a signal while its workers and progress thread run: the workers end
// before their next block and the run reports how far it got.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"

namespace {

using tooltest::engine;

TEST(Interrupt, SignalDuringTheCopyStopsEveryWorkerWithCodeFour)
{
    snap_interrupt_clear();
    snap_signals_install();
    engine e(128 * 1024, 0, 3);  // 64 MiB, progress on
    e.open_image();
    std::atomic<bool> done{false};
    std::thread sender([&] {
        while (!done.load() && snap_progress_copied() == 0)
            std::this_thread::yield();
        if (!done.load())
            ::kill(::getpid(), SIGTERM);
    });
    std::uint32_t code = e.copy();
    done.store(true);
    sender.join();
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    snap_interrupt_clear();

    ASSERT_EQ(code, SNAP_INTERRUPTED) << e.o.status.message;
    EXPECT_LT(e.o.copied, e.o.total);
    EXPECT_EQ(e.o.total, 16384u);
    std::string expected = "ERROR: interrupted by signal 15 after " + std::to_string(e.o.copied) +
                           " of 16384 blocks; " + e.image + " is incomplete";
    EXPECT_EQ(e.o.status.message, expected);
}

}  // namespace
