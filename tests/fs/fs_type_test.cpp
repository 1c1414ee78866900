// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

TEST(FsType, NamesMapToTheModulesIdsUnidentifiedDevicesToUnknown)
{
    // The ids of detected names are the block query tests'; near misses are no type.
    for (const char *name : {"ext2", "ext3"})
        EXPECT_NE(qv::fs_type_from_name(name), FS_TYPE_UNKNOWN) << name;
    for (const char *name : {"unknown", "ntfs", "", "ext4 ", "EXT4", "ext"})
        EXPECT_EQ(qv::fs_type_from_name(name), FS_TYPE_UNKNOWN) << name;
    // An unidentifiable or missing device is unknown.
    qvtest::temp_dir tmp;
    EXPECT_EQ(fs_type_detect(tmp.write("zeros", std::string(1 << 16, '\0')).c_str()), FS_TYPE_UNKNOWN);
    EXPECT_EQ(fs_type_detect(tmp.file("absent").c_str()), FS_TYPE_UNKNOWN);
    EXPECT_EQ(fs_type_detect(nullptr), FS_TYPE_UNKNOWN);
}

}  // namespace
