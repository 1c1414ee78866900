// SPDX-License-Identifier: GPL-2.0-or-later
// The comparison of an image with its source over several workers: every differing block counted
// once, the first differing sectors in order whichever worker found them.
#include <gtest/gtest.h>
#include <fcntl.h>

#include "engine_fixture.h"

namespace {

using tooltest::engine;

TEST(Verify, DifferencesAcrossWorkersComeOutCountedAndInOrder)
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
    ASSERT_EQ(r.shown, SNAP_VERIFY_SECTORS_SHOWN);
    EXPECT_EQ(r.sectors[0], 3u * 8 + 1);
    EXPECT_EQ(r.sectors[1], 80u);
    EXPECT_EQ(r.sectors[9], 144u);

    // An image that ends early differs in every block it lacks as well.
    ASSERT_EQ(::truncate(e.image.c_str(), 100 * 4096), 0);
    ASSERT_EQ(snap_verify(&e.o, &r), 0u);
    EXPECT_EQ(r.differing, 11u + 157u);
}

}  // namespace
