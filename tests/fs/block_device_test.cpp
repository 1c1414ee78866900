// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <dirent.h>
#include <linux/fs.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <string>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

TEST(BlockDeviceCheck, RegularFileIsReportedButNotRefused)
{
    qvtest::temp_dir tmp;
    std::string file = tmp.write("plain", "x");
    qvctl_status st{};
    EXPECT_EQ(block_device_check(file.c_str(), &st), 0u);
    EXPECT_EQ(st.code, 15u);
    EXPECT_EQ(std::string(st.message), file + ": not a block device");

    std::string absent = tmp.file("absent");
    EXPECT_EQ(block_device_check(absent.c_str(), &st), 0u);
    EXPECT_EQ(st.code, 2u);
    EXPECT_EQ(std::string(st.message), "stat failed on " + absent);
    EXPECT_EQ(block_device_check(absent.c_str(), nullptr), 0u);
    EXPECT_EQ(block_device_check("/dev/null", &st), makedev(1, 3));  // a character device gives its number
    EXPECT_EQ(st.code, 15u);
}

// A file named like a disk is sized through that disk's sysfs entry.
TEST(DeviceSize, RegularFileFallsBackToSysfsByName)
{
    DIR *d = ::opendir("/sys/block");
    ASSERT_NE(d, nullptr);
    std::string disk;
    while (struct dirent *e = ::readdir(d))
        if (e->d_name[0] != '.' && !qv::sysfs_disk_name(e->d_name).empty()) {
            disk = e->d_name;
            break;
        }
    ::closedir(d);
    if (disk.empty())
        GTEST_SKIP() << "no disk in /sys/block";
    uint64_t expected = 0;
    std::ifstream("/sys/block/" + disk + "/size") >> expected;

    qvtest::temp_dir tmp;
    qvctl_status st{};
    EXPECT_EQ(device_size_sectors(tmp.write(disk, "abc").c_str(), &st), expected);
    EXPECT_EQ(st.code, 0u);

    EXPECT_EQ(device_size_sectors(tmp.write("image0", "abc").c_str(), &st), 0u);
    EXPECT_EQ(st.code, 2u);  // the message is the sysfs reader's
    EXPECT_EQ(partition_start_sector(tmp.file("image0").c_str()), 0u);
}

TEST(Statfs, MissingPathIsNamed)
{
    qvtest::temp_dir tmp;
    struct statfs sb {};
    qvctl_status st{};
    std::string absent = tmp.file("absent");
    EXPECT_EQ(fs_statfs(absent.c_str(), &sb, &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "ERROR: failed to open " + absent);
}

}  // namespace
