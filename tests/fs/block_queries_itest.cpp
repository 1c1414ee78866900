// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "capability.h"
#include "loop_image.h"
#include "qvctl_internal.h"

namespace {

struct layout {
    const char *fs;
    fs_type id;
    uint64_t partition_start;
    bool mountable;
};

std::string name_of(const ::testing::TestParamInfo<layout> &info)
{
    return std::string(info.param.fs) + (info.param.partition_start ? "_partition" : "_whole");
}

std::string mount_point(const std::string &dev)
{
    char out[4096] = "";
    return mount_point_get(dev.c_str(), out, sizeof out) == 0 ? out : "(none)";
}

class BlockQueries : public ::testing::TestWithParam<layout> {};

TEST_P(BlockQueries, AnswerForTheFilesystemsDevice)
{
    QV_REQUIRE_ROOT_LOOP();
    const layout &l = GetParam();
    qvtest::loop_image img({.fs = l.fs, .partition_start = l.partition_start, .mount = l.mountable});
    ASSERT_TRUE(img.ok()) << img.error();
    const char *dev = img.device().c_str();

    EXPECT_EQ(fs_type_detect(dev), l.id);
    uint64_t disk_sectors = std::filesystem::file_size(img.image()) / 512;
    qvctl_status st{};
    EXPECT_EQ(device_size_sectors(img.disk().c_str(), &st), disk_sectors);
    EXPECT_EQ(device_size_sectors(dev, &st), disk_sectors - l.partition_start);
    EXPECT_EQ(st.code, 0u) << st.message;

    struct stat sb {};
    ASSERT_EQ(::stat(dev, &sb), 0);
    EXPECT_EQ(block_device_check(dev, &st), sb.st_rdev);
    EXPECT_EQ(st.code, 0u) << st.message;

    // Loop devices refuse HDIO_GETGEO and the disk name loopN holds a digit: sysfs still tells.
    EXPECT_EQ(partition_start_sector(dev), l.partition_start);
    EXPECT_EQ(partition_start_sector(img.disk().c_str()), 0u);

    EXPECT_EQ(mount_point(dev), l.mountable ? img.mount_point() : "(none)");
    EXPECT_EQ(mount_is_rw(dev), l.mountable ? 1 : 0);
    if (l.mountable) {
        EXPECT_EQ(mount_point(img.disk()), l.partition_start ? "(none)" : img.mount_point());
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, BlockQueries,
                         ::testing::Values(layout{"ext4", FS_TYPE_EXT4, 2048, true},
                                           layout{"xfs", FS_TYPE_XFS, 0, true},
                                           layout{"btrfs", FS_TYPE_BTRFS, 2048, true},
                                           layout{"vfat", FS_TYPE_VFAT, 0, false}),
                         name_of);

}  // namespace
