// SPDX-License-Identifier: GPL-2.0-or-later
// Store files without a device: pieces, allocation and checks in a private directory, the process's
// file-size limit standing in for a filesystem's; the size rules over a device size of the test's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "fake_device_size.h"
#include "qvctl_internal.h"
#include "store_test_util.h"
#include "temp_dir.h"
#include "unique_fd.h"

using namespace storetest;

namespace {

constexpr std::uint64_t MiB = 1048576;

// A store of the wrong size or with a piece missing would hand the module sectors of something else.
TEST(StorePieces, SplitAtTheLimitCheckedPieceByPieceAndRemovedAfterAFailure)
{
    qvtest::temp_dir d;
    const std::string base = d.file("data");
    fsize_limit lim(MiB);
    const uint64_t total = 3 * MiB + 8192, block = store_block_size(base.c_str());
    const uint64_t piece = file_size_limit_probe(base.c_str(), total) / block * block;
    qvctl_status st{};
    ASSERT_EQ(store_files_create(base.c_str(), total, &st), 0) << st.message;
    for (uint64_t i = 0; i < 4; ++i)
        EXPECT_TRUE(allocated(i ? base + "-" + std::to_string(i) : base, i < 3 ? piece : total - 3 * piece)) << i;
    EXPECT_FALSE(exists(base + "-4"));
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), 0) << st.message;
    EXPECT_EQ(store_files_check(base.c_str(), total + block, &st), 199);

    ASSERT_EQ(unlink((base + "-2").c_str()), 0);
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), ENOENT);
    ASSERT_EQ(truncate(base.c_str(), 4096), 0);
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), 199);

    ASSERT_EQ(mkdir((base + "-2").c_str(), 0700), 0);  // the third piece can't be opened
    EXPECT_EQ(store_files_create(base.c_str(), total, &st), EISDIR);
    EXPECT_FALSE(exists(base) || exists(base + "-1"));
}

// A piece with unallocated blocks has no sectors to register; only a forced creation zeroes.
TEST(PieceFile, UnallocatedIsRefusedAndOnlyAForcedCreationZeroes)
{
    qvtest::temp_dir d;
    const std::string p = d.file("piece");
    {
        qv::unique_fd fd(open(p.c_str(), O_RDWR | O_CREAT, 0600));
        ASSERT_EQ(ftruncate(fd.get(), 8192), 0);
        qvctl_status st{};
        EXPECT_FALSE(file_allocation_verify(fd.get(), 8192, &st));
        EXPECT_EQ(file_check(p.c_str(), 8192, &st), 193);
        EXPECT_EQ(file_allocate(fd.get(), 8192, false, &st), 0);
        EXPECT_TRUE(file_allocation_verify(fd.get(), 8192, nullptr));
        ASSERT_EQ(pwrite(fd.get(), "kept", 4, 100), 4);
    }
    ASSERT_EQ(file_create(p.c_str(), 8192, false, nullptr), 0);
    EXPECT_EQ(read_all(p).substr(100, 4), "kept");
    ASSERT_EQ(file_create(p.c_str(), 8192, true, nullptr), 0);
    EXPECT_TRUE(read_all(p) == std::string(8192, '\0'));
}

// The changelog has one byte per sector in whole 4 KiB blocks, rounded to the nearest.
TEST(StoreSizes, ChangelogFollowsTheSectorCountDataStoreTheShare)
{
    const char *dev = "/dev/qv-sized";
    for (auto [sectors, bytes] : {std::pair{2047ull, 0ull}, {6143, 4096}, {6144, 8192}, {1953125000, 1953124352}}) {
        qvtest::fake_device_size size(dev, sectors);
        EXPECT_EQ(changelog_store_size(dev), bytes) << sectors;
    }
    qvtest::fake_device_size size(dev, 2097152);  // 1 GiB
    for (auto [asked, percent, code, bytes] : {std::tuple{0ull, 0.0, 0, 161061273ull}, {0, 50.0, 0, 536870912},
                                               {12345, 150.0, 0, 12345}, {0, 100.0, 34, 0}, {0, -5.0, 34, 0},
                                               {0, std::nan(""), 34, 0}}) {
        uint64_t got = asked;
        EXPECT_EQ(data_store_size(dev, &got, percent, nullptr), code) << percent;
        EXPECT_EQ(got, bytes) << percent;
    }
}

}  // namespace
