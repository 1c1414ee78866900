// SPDX-License-Identifier: GPL-2.0-or-later
// Store files without a device: the size probe, pieces, allocation and checks in a private
// directory, the process's file-size limit standing in for a filesystem's; the size rules over a
// device size of the test's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <string>

#include "fake_device_size.h"
#include "qvctl_internal.h"
#include "store_test_util.h"
#include "temp_dir.h"
#include "unique_fd.h"

using namespace storetest;

namespace {

constexpr std::uint64_t MiB = 1048576;

bool empty_dir(const std::string &dir) { return std::filesystem::is_empty(dir); }

TEST(SizeProbe, FindsTheLimitCloselyAndLeavesNoFile)
{
    qvtest::temp_dir d;
    const std::string base = d.file("data");
    EXPECT_EQ(file_size_limit_probe(base.c_str(), 10 * 1024 * MiB), 10 * 1024 * MiB);
    for (auto [limit, wanted, low, high] : {std::tuple{4294967295ull, 10737418240ull, 4294963200ull, 4294963200ull},
                                            {MiB, 3 * MiB + 12345, MiB - 8191, MiB}}) {
        fsize_limit lim(limit);
        const uint64_t got = file_size_limit_probe(base.c_str(), wanted);
        EXPECT_TRUE(got >= low && got <= high) << got;
    }
    EXPECT_TRUE(empty_dir(d.path()));
    EXPECT_EQ(file_size_limit_probe(d.file("missing/data").c_str(), MiB), 0u);
}

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

    ASSERT_EQ(unlink((base + "-2").c_str()), 0);  // a later piece missing is named
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "WARNING: Failed to open file " + base + "-2: No such file or directory");
    ASSERT_EQ(truncate(base.c_str(), 4096), 0);
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), 199);
    EXPECT_STREQ(st.message, "ERROR: ERROR: File has an incorrect size");

    ASSERT_EQ(mkdir((base + "-2").c_str(), 0700), 0);  // the third piece can't be opened
    EXPECT_EQ(store_files_create(base.c_str(), total, &st), EISDIR);
    EXPECT_EQ(std::string(st.message), "Failed to open file '" + base + "-2'");
    EXPECT_FALSE(exists(base) || exists(base + "-1"));
    EXPECT_EQ(store_files_create_zeroed(base.c_str(), total, &st), EISDIR);  // a zeroed set is kept
    EXPECT_TRUE(exists(base) && exists(base + "-1"));
}

// A small store is one read-only file in whole filesystem blocks, checked as such.
TEST(StorePieces, SmallStoreIsOneFileOfWholeBlocks)
{
    qvtest::temp_dir d;
    const std::string small = d.file("changelog");
    const uint64_t block = store_block_size(small.c_str());
    ASSERT_EQ(store_files_create_zeroed(small.c_str(), 3 * block + 1, nullptr), 0);
    EXPECT_TRUE(allocated(small, 4 * block));
    EXPECT_EQ(store_files_check(small.c_str(), 4 * block - 1, nullptr), 0);
    EXPECT_EQ(store_files_check(small.c_str(), 4 * block + 1, nullptr), 199);
    struct stat sb;
    ASSERT_EQ(stat(small.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0400u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d.path()), {}), 1);
}

TEST(PieceFile, VerifyTellsFailuresAndOnlyAForcedCreationZeroes)
{
    qvtest::temp_dir d;
    const std::string p = d.file("piece");
    {
        qv::unique_fd fd(open(p.c_str(), O_RDWR | O_CREAT, 0600));
        ASSERT_EQ(ftruncate(fd.get(), 8192), 0);
        qvctl_status st{};
        EXPECT_FALSE(file_allocation_verify(fd.get(), 4096, &st));
        EXPECT_EQ(st.code, 199u);
        EXPECT_FALSE(file_allocation_verify(fd.get(), 8192, &st));
        EXPECT_STREQ(st.message, "ERROR: ERROR: File is not allocated");
        EXPECT_EQ(file_check(p.c_str(), 8192, &st), 193);
        EXPECT_EQ(file_allocate(fd.get(), 8192, false, &st), 0);
        EXPECT_TRUE(file_allocation_verify(fd.get(), 8192, nullptr));
        EXPECT_FALSE(file_allocation_verify(-1, 8192, &st));
        EXPECT_STREQ(st.message, "ERROR: Failed to get fstat (Bad file descriptor)");
        ASSERT_EQ(pwrite(fd.get(), "kept", 4, 100), 4);
    }
    ASSERT_EQ(file_create(p.c_str(), 8192, false, nullptr), 0);
    EXPECT_EQ(read_all(p).substr(100, 4), "kept");
    ASSERT_EQ(file_create(p.c_str(), 8192, true, nullptr), 0);
    EXPECT_TRUE(read_all(p) == std::string(8192, '\0'));
    EXPECT_EQ(file_create(d.file("no/dir").c_str(), 1, false, nullptr), ENOENT);
}

TEST(StoreDir, MadeOnceRefusedOverAPlainFileAndNoMountIsMinus2)
{
    qvtest::temp_dir d;
    qvctl_status st{};
    const std::string dir = d.file(".quorvex"), file = d.write("plain", "x");
    ASSERT_EQ(store_dir_ensure("/nonexistent", dir.c_str(), &st), 0) << st.message;
    EXPECT_EQ(store_dir_ensure("/nonexistent", dir.c_str(), &st), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_EQ(store_dir_ensure("/nonexistent", file.c_str(), &st), ENOTDIR);
    EXPECT_EQ(std::string(st.message), "ERROR: " + file + " is not a directory");
    EXPECT_EQ(store_dir_ensure("/nonexistent", d.file("a/b").c_str(), &st), ENOENT);

    char path[4096] = "untouched";
    EXPECT_EQ(store_path_get("/dev/qv-no-such-device", "data", path, sizeof path, nullptr, 0, &st), -2);
    EXPECT_STREQ(st.message, "ERROR: Failed to find mount point for /dev/qv-no-such-device");
    EXPECT_STREQ(path, "untouched");
    EXPECT_EQ(store_files_check(d.file("none/data").c_str(), MiB, &st), ENOENT);
    EXPECT_EQ(store_files_process(dir.c_str(), MiB, 3, nullptr), EINVAL);
}

// The changelog has one byte per sector in whole 4 KiB blocks, rounded to the nearest.
TEST(StoreSizes, ChangelogFollowsTheSectorCountDataStoreTheShare)
{
    const char *dev = "/dev/qv-sized";
    for (auto [sectors, bytes] : {std::pair{2047ull, 0ull}, {2048, 4096}, {6143, 4096}, {6144, 8192},
                                  {1953125000, 1953124352}}) {
        qvtest::fake_device_size size(dev, sectors);
        EXPECT_EQ(changelog_store_size(dev), bytes) << sectors;
    }
    qvtest::fake_device_size size(dev, 2097152);  // 1 GiB
    qvctl_status st{};
    for (auto [asked, percent, code, bytes] :
         {std::tuple{0ull, 0.0, 0, 161061273ull}, {0, 50.0, 0, 536870912}, {12345, 150.0, 0, 12345}, {0, 100.0, 34, 0},
          {0, 250.0, 34, 0}, {0, -5.0, 34, 0}, {0, std::nan(""), 34, 0}}) {
        uint64_t got = asked;
        EXPECT_EQ(data_store_size(dev, &got, percent, &st), code) << percent;
        EXPECT_EQ(got, bytes) << percent;
    }
    EXPECT_STREQ(st.message, "invalid data store size for device /dev/qv-sized");
    size.sectors = 0;  // 15 % of nothing is still accepted
    uint64_t got = 0;
    EXPECT_EQ(data_store_size(dev, &got, 0, nullptr), 0);
}

TEST(ZeroFill, WritesZerosFromTheCurrentOffsetOrReportsErrno)
{
    qvtest::temp_dir d;
    const std::string path = d.file("f");
    qv::unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(write(fd.get(), "abc", 3), 3);
    ASSERT_EQ(file_zero_fill(fd.get(), 5000, nullptr), 0);
    EXPECT_EQ(read_all(path), "abc" + std::string(5000, '\0'));
    qvctl_status st{};
    EXPECT_EQ(file_zero_fill(-1, 10, &st), EBADF);
    EXPECT_STREQ(st.message, "Write failed while file resetting");
}

}  // namespace
