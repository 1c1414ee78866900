// SPDX-License-Identifier: GPL-2.0-or-later
// The copy engine end to end in the test process, under the thread sanitizer too: base runs, failing
// changelogs, a signal midway, and the comparison of an image with its source. Images of a real
// snapshot, base, incremental and per-block, and lying changelogs are the program's own tests.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "engine_fixture.h"
#include "fake_changelog_module.h"

namespace {

using tooltest::engine;
using tooltest::read_file;

TEST(Engine, BaseImageEqualsTheDeviceWithAShortLastBlock)
{
    // One worker, an uneven split, and more workers than blocks; 20 sectors end in a 2 KiB block.
    for (int workers : {1, 3, 40})
        for (std::uint64_t sectors : {20, 8, 2053, 0}) {
            engine e(sectors, 0, workers);
            e.open_image(std::string(50000, 'x'));  // longer than the device: truncated first
            ASSERT_EQ(e.copy(), 0u) << e.o.status.message;
            EXPECT_TRUE(read_file(e.image) == e.source) << sectors << " sectors, " << workers << " workers";
        }
}

TEST(Engine, FailingChangelogWritesNoBlock)
{
    for (int refused : {0, 1, 2}) {  // the count, the first chunk, the continuation
        qvtest::fake_changelog m;
        m.entries = qvtest::make_entries(300);
        m.fail_at_request = refused;
        engine e(8192, SNAP_INCREMENTAL, 2);
        e.open_image("old");
        EXPECT_EQ(e.copy(), static_cast<std::uint32_t>(EIO)) << refused;
        EXPECT_EQ(read_file(e.image), "old");
        EXPECT_EQ(e.o.changelog, nullptr);
    }
}

TEST(Engine, SignalDuringTheCopyStopsEveryWorkerWithCodeFour)
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
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::signal(sig, SIG_DFL);
    snap_interrupt_clear();
    ASSERT_EQ(code, SNAP_INTERRUPTED) << e.o.status.message;
    EXPECT_LT(e.o.copied, e.o.total);
    EXPECT_EQ(e.o.status.message, "ERROR: interrupted by signal 15 after " + std::to_string(e.o.copied) +
                                      " of 16384 blocks; " + e.image + " is incomplete");
}

TEST(Engine, VerifyCountsEachDifferingBlockOnceAndShowsTheFirstInOrder)
{
    engine e(2053, SNAP_HIDE_PROGRESS, 3);  // 257 blocks, the last one short
    std::string image = e.source;
    // Byte 700 of block 3, all of block 200, the last byte of the short last block, and the first
    // byte of blocks 10 to 19: more than are shown, and the shown ones all from the first worker.
    image[3 * 4096 + 700] ^= 1;
    image.replace(200 * 4096, 4096, 4096, '\x01');
    image.back() ^= 1;
    for (std::uint64_t b = 10; b < 20; ++b)
        image[b * 4096] ^= 1;
    std::ofstream(e.image, std::ios::binary) << image;
    e.o.snapfile_fd = ::open(e.image.c_str(), O_RDONLY);
    snap_verify_result r{};
    ASSERT_EQ(snap_verify(&e.o, &r), 0u) << e.o.status.message;
    EXPECT_EQ(r.blocks, 257u);
    EXPECT_EQ(r.differing, 13u);
    EXPECT_EQ(r.sectors[0], 3u * 8 + 1) << "the first in order, though another worker found others";
    // An image that ends early differs in every block it lacks as well.
    ASSERT_EQ(::truncate(e.image.c_str(), 100 * 4096), 0);
    ASSERT_EQ(snap_verify(&e.o, &r), 0u);
    EXPECT_EQ(r.differing, 11u + 157u);
}

}  // namespace
