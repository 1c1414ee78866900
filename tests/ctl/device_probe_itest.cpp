// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl device probe on plain loop devices, which answer no geometry and whose names hold digits:
// the partition's real start, and a filesystem type seen as it is right after a new mkfs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "capability.h"
#include "loop_image.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "temp_dir.h"

namespace {

const std::string bin = QVCTL_BIN;

// The new filesystem is read through a node of its own (as a chroot or container has),
// written through the system's node: its time stays, so only a probe of the device itself, not
// libblkid's cache, sees the new filesystem.
TEST(DeviceProbe, SecondPartitionShowsItsStartAndANewFilesystemAtOnce)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.size = 320ull << 20, .fs = "ext4", .partition_start = 24576, .partition_number = 2,
                            .mount = false});  // room for xfs
    ASSERT_TRUE(img.ok()) << img.error();
    ASSERT_EQ(img.device(), img.disk() + "p2");
    qvtest::temp_dir tmp;
    std::string json = qvtest::sh_ok(bin + " device probe --json " + img.device());
    EXPECT_NE(json.find("\"partition_start\":24576"), std::string::npos) << json;

    struct stat sb {};
    ASSERT_EQ(::stat(img.device().c_str(), &sb), 0);
    const std::string node = tmp.file("node");
    ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, sb.st_rdev), 0);
    EXPECT_EQ(fs_type_detect(node.c_str()), FS_TYPE_EXT4);
    qvtest::sh_ok("mkfs.xfs -q -f " + img.device());
    EXPECT_EQ(fs_type_detect(node.c_str()), FS_TYPE_XFS);
}

}  // namespace
