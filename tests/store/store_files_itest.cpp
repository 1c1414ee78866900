// SPDX-License-Identifier: GPL-2.0-or-later
// Store files on real filesystems over loop devices: sizes from the device, the store directory and
// its flag, creation, reset, checks and refusals.
#include <gtest/gtest.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "capability.h"
#include "loop_image.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "store_test_util.h"

using namespace storetest;

namespace {

int inode_flags(const std::string &path)
{
    qv::unique_fd fd(open(path.c_str(), O_RDONLY));
    int flags = -1;
    return fd && ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
}

std::string store_of(const qvtest::loop_image &img, const std::string &name)
{
    return img.mount_point() + "/.quorvex/" + name;
}

TEST(StoreSizesOnDevices, ChangelogFollowsTheSectorCountDataStoreTheShare)
{
    QV_REQUIRE_ROOT_LOOP();
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {2047, 0}, {2048, 4096}, {6143, 4096}, {6144, 8192}, {1953125000, 1953124352}};
    for (auto [sectors, bytes] : cases) {
        qvtest::loop_image img({.size = sectors * 512, .fs = "", .mount = false});
        ASSERT_TRUE(img.ok()) << img.error();
        EXPECT_EQ(changelog_store_size(img.device().c_str()), bytes) << sectors;
    }
    // The data store's share of a 1 GiB device.
    qvtest::loop_image img({.size = 1073741824, .fs = "", .mount = false});
    ASSERT_TRUE(img.ok()) << img.error();
    for (auto [percent, code, bytes] : {std::tuple{0.0, 0, 161061273u}, {50.0, 0, 536870912u}, {100.0, 34, 0u}}) {
        uint64_t size = 0;
        EXPECT_EQ(data_store_size(img.device().c_str(), &size, percent, nullptr), code) << percent;
        EXPECT_EQ(size, bytes) << percent;
    }
}

class ChangelogStore : public ::testing::TestWithParam<const char *> {};

TEST_P(ChangelogStore, CreatedZeroedCheckedAndReset)
{
    QV_REQUIRE_ROOT_LOOP();
    const std::string fs = GetParam();
    qvtest::loop_image img({.fs = fs});
    ASSERT_TRUE(img.ok()) << img.error();
    const char *dev = img.device().c_str();
    qvctl_status st{};
    ASSERT_EQ(qvctl_changelog_store_create(dev, &st), 0) << st.message;
    const std::string path = store_of(img, "changelog");
    const uint64_t size = changelog_store_size(dev);
    ASSERT_GT(size, 0u);
    EXPECT_TRUE(allocated(path, size));
    EXPECT_TRUE(all_zero(read_all(path)));
    EXPECT_FALSE(exists(path + "-1"));

    struct stat sb;
    ASSERT_EQ(stat((img.mount_point() + "/.quorvex").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0755u);
    // Only btrfs directories get the no-copy-on-write flag; the store file inherits it.
    int dir_flags = inode_flags(img.mount_point() + "/.quorvex");
    if (fs == "btrfs") {
        EXPECT_EQ(dir_flags, FS_NOCOW_FL);
        EXPECT_TRUE(inode_flags(path) & FS_NOCOW_FL);
    } else {
        EXPECT_FALSE(dir_flags > 0 && (dir_flags & FS_NOCOW_FL));
    }
    EXPECT_EQ(qvctl_changelog_store_check(dev, &st), 0) << st.message;

    ASSERT_TRUE(simtest::write_file(path, "dirty", 4096));
    ASSERT_EQ(qvctl_changelog_store_reset(dev, &st), 0) << st.message;
    EXPECT_TRUE(all_zero(read_all(path)));

    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    EXPECT_EQ(qvctl_changelog_store_check(dev, &st), 199);
    // Creating again over the existing file resizes it.
    ASSERT_EQ(qvctl_changelog_store_create(dev, &st), 0) << st.message;
    EXPECT_EQ(qvctl_changelog_store_check(dev, &st), 0) << st.message;
}

// ext2 writes zeros, xfs allocates, btrfs marks the directory; ext4 allocates as xfs does.
INSTANTIATE_TEST_SUITE_P(Filesystems, ChangelogStore, ::testing::Values("ext2", "xfs", "btrfs"));

// Splitting where files are limited is the store files' unit test: a device takes the same path.
// An unmounted device and a file in place of the directory are the store path's unit tests.
TEST(ChangelogStoreRefusals, TinyDeviceAndNoSpace)
{
    QV_REQUIRE_ROOT_LOOP();
    qvctl_status st{};
    {
        qvtest::loop_image img({.size = 2047 * 512, .fs = "ext2"});
        ASSERT_TRUE(img.ok()) << img.error();
        EXPECT_EQ(qvctl_changelog_store_create(img.device().c_str(), &st), 34);
        EXPECT_STREQ(st.message, "Invalid changelog store size (0)");
    }
    // ext2: root may fill every free block there (ext4 keeps a reserve that statvfs still counts free).
    qvtest::loop_image img({.fs = "ext2"});
    ASSERT_TRUE(img.ok()) << img.error();
    const char *dev = img.device().c_str();
    std::string dir = img.mount_point() + "/.quorvex";

    // Fill the filesystem (the store directory already made) until less than the changelog is free.
    qvtest::sh_ok("mkdir " + dir);
    qvtest::sh("dd if=/dev/zero of=" + img.mount_point() + "/fill bs=64k 2>/dev/null");
    EXPECT_EQ(qvctl_changelog_store_create(dev, &st), 28);
    EXPECT_EQ(std::string(st.message), "Not enough space on device " + img.device() + " (131072 bytes needed)");
}

}  // namespace
