// SPDX-License-Identifier: GPL-2.0-or-later
// Store files without a device: the size probe, pieces, allocation and checks in a private
// directory, with the process's file-size limit standing in for a filesystem's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <string>

#include "qvctl_internal.h"
#include "store_test_util.h"
#include "temp_dir.h"

using namespace storetest;

namespace {

constexpr std::uint64_t MiB = 1048576;

unsigned long statvfs_bsize(const std::string &path)
{
    struct statvfs vfs {};
    return ::statvfs(path.c_str(), &vfs) == 0 ? vfs.f_bsize : 0;
}

std::size_t entries(const std::string &dir)
{
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(SizeProbe, FindsTheLimitCloselyAndLeavesNoFile)
{
    qvtest::temp_dir d;
    std::string base = d.file("data");
    EXPECT_EQ(file_size_limit_probe(base.c_str(), 10 * 1024 * MiB), 10 * 1024 * MiB);
    EXPECT_EQ(file_size_limit_probe(base.c_str(), 0), 0u);
    {
        // The largest file of a filesystem with 32-bit sizes.
        fsize_limit lim(4294967295ull);
        EXPECT_EQ(file_size_limit_probe(base.c_str(), 10737418240ull), 4294963200ull);
    }
    {
        fsize_limit lim(MiB);
        uint64_t got = file_size_limit_probe(base.c_str(), 3 * MiB + 12345);
        EXPECT_LE(got, MiB);
        EXPECT_GT(got, MiB - 8192);  // the last step of 4096 or less is not tried
    }
    EXPECT_EQ(entries(d.path()), 0u);
    EXPECT_EQ(file_size_limit_probe(d.file("missing/data").c_str(), MiB), 0u);
}

TEST(StorePieces, SplitAtTheProbedLimitAndCheckEachPiece)
{
    qvtest::temp_dir d;
    std::string base = d.file("data");
    fsize_limit lim(MiB);
    const uint64_t total = 3 * MiB + 8192;
    const uint64_t block = store_block_size(base.c_str());
    uint64_t piece = file_size_limit_probe(base.c_str(), total) / block * block;  // pieces are whole blocks
    ASSERT_GT(piece, 0u);
    qvctl_status st{};
    ASSERT_EQ(store_files_create(base.c_str(), total, &st), 0) << st.message;
    uint64_t n = (total + piece - 1) / piece;
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(allocated(base, piece));
    for (uint64_t i = 1; i < n; ++i)
        EXPECT_TRUE(allocated(base + "-" + std::to_string(i), i + 1 < n ? piece : total - (n - 1) * piece)) << i;
    EXPECT_FALSE(exists(base + "-" + std::to_string(n)));
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), 0) << st.message;

    // A missing later piece is named even though the first is fine.
    ASSERT_EQ(unlink((base + "-2").c_str()), 0);
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "WARNING: Failed to open file " + base + "-2: No such file or directory");
    // A first piece of the wrong size stops the check there.
    ASSERT_EQ(truncate(base.c_str(), 4096), 0);
    EXPECT_EQ(store_files_check(base.c_str(), total, &st), 199);
    EXPECT_STREQ(st.message, "ERROR: ERROR: File has an incorrect size");
    // Creating again over the pieces reopens and resizes them.
    EXPECT_EQ(store_files_create(base.c_str(), total, nullptr), 0);
    EXPECT_EQ(store_files_check(base.c_str(), total, nullptr), 0);
}

TEST(StorePieces, FailedCreationRemovesTheSetZeroedCreationKeepsItSmallIsOneFile)
{
    qvtest::temp_dir d;
    std::string base = d.file("data");
    fsize_limit lim(MiB);
    uint64_t piece = file_size_limit_probe(base.c_str(), 4 * MiB);
    ASSERT_EQ(mkdir((base + "-2").c_str(), 0700), 0);  // the third piece can't be opened
    qvctl_status st{};
    EXPECT_EQ(store_files_create(base.c_str(), 3 * piece, &st), EISDIR);
    EXPECT_EQ(std::string(st.message), "Failed to open file '" + base + "-2'");
    EXPECT_FALSE(exists(base));
    EXPECT_FALSE(exists(base + "-1"));

    EXPECT_EQ(store_files_create_zeroed(base.c_str(), 3 * piece, &st), EISDIR);
    EXPECT_TRUE(exists(base));
    EXPECT_TRUE(exists(base + "-1"));

    // A small store is one file named by the path, readable only, and whole filesystem blocks:
    // a size that ends inside a block is laid down up to the block's end and checked as such.
    qvtest::temp_dir one;
    std::string small = one.file("changelog");
    const uint64_t block = store_block_size(small.c_str());
    EXPECT_EQ(block, uint64_t(statvfs_bsize(one.path())));
    ASSERT_EQ(store_files_create_zeroed(small.c_str(), 3 * block + 1, nullptr), 0);
    EXPECT_TRUE(allocated(small, 4 * block));
    EXPECT_EQ(store_files_check(small.c_str(), 4 * block - 1, nullptr), 0);
    EXPECT_EQ(store_files_check(small.c_str(), 4 * block + 1, nullptr), 199);
    EXPECT_EQ(entries(one.path()), 1u);
    struct stat sb;
    ASSERT_EQ(stat(small.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0400u);
}

TEST(PieceFile, VerifyTellsFailuresAndForceZeroesTheContent)
{
    qvtest::temp_dir d;
    std::string p = d.file("piece");
    int fd = open(p.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    qvctl_status st{};
    EXPECT_FALSE(file_allocation_verify(fd, 4096, &st));
    EXPECT_EQ(st.code, 199u);
    EXPECT_FALSE(file_allocation_verify(fd, 8192, &st));
    EXPECT_EQ(st.code, 193u);
    EXPECT_STREQ(st.message, "ERROR: ERROR: File is not allocated");
    EXPECT_EQ(file_check(p.c_str(), 8192, &st), 193);
    EXPECT_EQ(file_allocate(fd, 8192, false, &st), 0);
    EXPECT_TRUE(file_allocation_verify(fd, 8192, nullptr));
    close(fd);
    EXPECT_FALSE(file_allocation_verify(fd, 8192, &st));
    EXPECT_EQ(st.code, unsigned(EBADF));
    EXPECT_STREQ(st.message, "ERROR: Failed to get fstat (Bad file descriptor)");
    EXPECT_EQ(file_check(d.file("nope").c_str(), 1, &st), ENOENT);
    EXPECT_EQ(file_create(d.file("no/dir").c_str(), 1, false, &st), ENOENT);

    // Creating again keeps the content unless forced to zero it.
    fd = open(p.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "kept", 4, 100), 4);
    close(fd);
    ASSERT_EQ(file_create(p.c_str(), 8192, false, nullptr), 0);
    EXPECT_EQ(read_all(p).substr(100, 4), "kept");
    ASSERT_EQ(file_create(p.c_str(), 8192, true, nullptr), 0);
    std::string all = read_all(p);
    EXPECT_EQ(all.size(), 8192u);
    EXPECT_TRUE(all_zero(all));
}

TEST(StoreDir, EnsuresADirectoryAndRefusesAPlainFile)
{
    qvtest::temp_dir d;
    qvctl_status st{};
    std::string dir = d.file(".quorvex");
    ASSERT_EQ(store_dir_ensure("/nonexistent", dir.c_str(), &st), 0) << st.message;
    struct stat sb;
    ASSERT_EQ(stat(dir.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
    EXPECT_EQ(store_dir_ensure("/nonexistent", dir.c_str(), &st), 0);

    std::string file = d.write("plain", "x");
    EXPECT_EQ(store_dir_ensure("/nonexistent", file.c_str(), &st), 20);
    EXPECT_EQ(std::string(st.message), "ERROR: " + file + " is not a directory");
    std::string deep = d.file("a/b");
    EXPECT_EQ(store_dir_ensure("/nonexistent", deep.c_str(), &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "ERROR: Failed to create dir " + deep);
}

TEST(StorePath, DeviceWithoutMountPointIsMinus2AndProbeFailureIs2)
{
    char path[4096] = "untouched";
    qvctl_status st{};
    qvtest::temp_dir d;
    std::string base = d.file("none/data");
    EXPECT_EQ(store_files_check(base.c_str(), MiB, &st), 2);
    EXPECT_EQ(std::string(st.message), "Failed to determine filesystem filesize for " + base);
    EXPECT_EQ(store_files_process(base.c_str(), MiB, 3, nullptr), EINVAL);
    EXPECT_EQ(store_path_get("/dev/qv-no-such-device", "data", path, sizeof path, nullptr, 0, &st), -2);
    EXPECT_STREQ(st.message, "ERROR: Failed to find mount point for /dev/qv-no-such-device");
    EXPECT_STREQ(path, "untouched");
    EXPECT_EQ(qvctl_changelog_store_check("/dev/qv-no-such-device", nullptr), -2);
}

// A path that is no block device has size 0, which the size rules see as a device of 0 bytes.
TEST(StoreSizes, DataStoreRules)
{
    const char *dev = "/dev/null";
    uint64_t size = 12345;
    EXPECT_EQ(data_store_size(dev, &size, 150, nullptr), 0);
    EXPECT_EQ(size, 12345u);
    size = 0;
    EXPECT_EQ(data_store_size(dev, &size, 0, nullptr), 0);  // 15 % of nothing is still accepted
    EXPECT_EQ(size, 0u);
    qvctl_status st{};
    for (double p : {50.0, 100.0, 250.0, -5.0, std::nan("")}) {
        size = 0;
        EXPECT_EQ(data_store_size(dev, &size, p, &st), 34) << p;
        EXPECT_STREQ(st.message, "invalid data store size for device /dev/null");
    }
    EXPECT_EQ(changelog_store_size(dev), 0u);
    EXPECT_EQ(device_bytes_scaled(dev, 0.5), 0u);
}

}  // namespace
