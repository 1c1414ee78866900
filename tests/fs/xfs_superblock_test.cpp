// SPDX-License-Identifier: GPL-2.0-or-later
// The xfs superblock readers against an image written by mkfs.xfs and against hand-built superblocks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qvctl_internal.h"
#include "shell.h"
#include "temp_dir.h"
#include "xfs_image.h"

namespace {

using TempDir = qvtest::temp_dir;

bool have_mkfs_xfs() { return qvtest::sh("command -v mkfs.xfs >/dev/null 2>&1").status == 0; }

std::string make_xfs(const TempDir &dir, const std::string &options)
{
    std::string img = dir.file("xfs.img");
    qvtest::sh_ok("truncate -s 320M '" + img + "' && mkfs.xfs -q -f " + options + " '" + img + "'");
    return img;
}

using fstest::write_bytes;
using fstest::xfs_superblock;

// The version, or the failure code with the sentinel 99 still in place of a version.
constexpr uint32_t untouched_version = 99;
std::pair<uint32_t, uint32_t> sb_version(const std::string &device, qvctl_status *st)
{
    uint32_t version = untouched_version;
    uint32_t r = xfs_sb_version(device.c_str(), &version, st);
    return {r, version};
}
using outcome = std::pair<uint32_t, uint32_t>;

// Versions and internal logs of mkfs's images are the attach tests' (qvctl against xfs v4 and v5);
// an external log is no extent of the device.
TEST(XfsSuperblock, ExternalLogWrittenByMkfsIsNoExtent)
{
    if (!have_mkfs_xfs())
        GTEST_SKIP() << "mkfs.xfs is not installed";
    TempDir dir;
    std::string logdev = dir.file("log.img");
    qvtest::sh_ok("truncate -s 64M '" + logdev + "'");
    std::string img = make_xfs(dir, "-l logdev=" + logdev);
    qvctl_status st{};
    uint32_t count = 7;
    sector_extent untouched{1, 2};
    EXPECT_EQ(xfs_log_extent(img.c_str(), 0, &untouched, &count, &st), 0u) << st.message;
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(untouched.start, 1u);
    EXPECT_EQ(sb_version(img, &st), outcome(0, 5));
}

TEST(XfsSuperblock, LogInTheThirdAllocationGroupOfAPartitionAndVersionBits)
{
    TempDir dir;
    std::string img = dir.file("sb");
    write_bytes(img, xfs_superblock(0xb4a5, 2097168, 655360, 2560, 12, 20));
    sector_extent e{};
    uint32_t count = 0;
    ASSERT_EQ(xfs_log_extent(img.c_str(), 2048, &e, &count, nullptr), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(e.start, 10487936u);
    EXPECT_EQ(e.count, 20480u);
    count = 0;
    EXPECT_EQ(xfs_log_extent(img.c_str(), 0, nullptr, &count, nullptr), 0u);
    EXPECT_EQ(count, 1u);
    // The version is the low four bits.
    qvctl_status st{};
    EXPECT_EQ(sb_version(img, &st), outcome(0, 5));
    write_bytes(img, xfs_superblock(0xb4a4, 0, 0, 0, 12, 20));
    EXPECT_EQ(sb_version(img, &st), outcome(0, 4));
    EXPECT_EQ(st.code, 0u);
}

TEST(XfsSuperblock, MissingMagicShortDeviceAndMissingFile)
{
    TempDir dir;
    std::string img = dir.file("sb");
    qvctl_status st{};
    auto bad = xfs_superblock(0xb4a5, 16, 1, 1, 12, 20);
    bad[0] = 'Y';
    write_bytes(img, bad);
    EXPECT_EQ(sb_version(img, &st), outcome(9, untouched_version));
    EXPECT_EQ(std::string(st.message), "xfs  magic number mismatched on device " + img);
    EXPECT_EQ(xfs_log_extent(img.c_str(), 0, nullptr, nullptr, &st), 9u);
    EXPECT_EQ(std::string(st.message), "failed to map xfs journal: magic number mismatched on device " + img);
    sector_extent e{};

    // The magic is there but the fields are not: nothing beyond the read may be used.
    auto good = xfs_superblock(0xb4a5, 16, 1, 1, 12, 20);
    write_bytes(img, std::vector<std::uint8_t>(good.begin(), good.begin() + 100));
    EXPECT_EQ(sb_version(img, &st), outcome(9, untouched_version));
    write_bytes(img, std::vector<std::uint8_t>(good.begin(), good.begin() + 120));
    EXPECT_EQ(xfs_log_extent(img.c_str(), 0, &e, nullptr, &st), 9u);
    write_bytes(img, {});
    EXPECT_EQ(sb_version(img, &st), outcome(9, untouched_version));

    std::string missing = dir.file("absent");
    EXPECT_EQ(sb_version(missing, &st), outcome(2, untouched_version));
    EXPECT_EQ(std::string(st.message),
              "failed to open xfs journal (open, " + missing + "): No such file or directory");
    EXPECT_EQ(xfs_log_extent(missing.c_str(), 0, nullptr, nullptr, &st), 2u);
    EXPECT_EQ(std::string(st.message),
              "failed to map xfs journal (open, " + missing + "): No such file or directory");
}

// A read that fails after the open succeeds: EIO from memory that is not mapped, EISDIR from a folder.
// Neither may pass for a version, nor give the v5 flag or a freeze.
TEST(XfsSuperblock, FailedReadIsACodeNeverAVersion)
{
    TempDir dir;
    const struct {
        std::string device;
        uint32_t code;
    } cases[] = {{"/proc/self/mem", 5}, {dir.path(), 21}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.device);
        qvctl_status st{};
        EXPECT_EQ(sb_version(c.device, &st), outcome(c.code, untouched_version));
        EXPECT_EQ(std::string(st.message), "failed to read xfs journal (read, " + c.device + "): " + strerror(int(c.code)));
        qvctl_status flags{};
        EXPECT_EQ(attach_flags_get(c.device.c_str(), FS_TYPE_XFS, &flags), 0u);
        EXPECT_EQ(flags.code, c.code);
    }
}

}  // namespace
