#include <gtest/gtest.h>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

TEST(FsType, NamesMapToTheModulesIdsUnidentifiedDevicesToUnknown)
{
    struct { const char *name; fs_type id; } cases[] = {
        {"ext2", 1}, {"ext3", 2}, {"ext4", 3}, {"xfs", 4}, {"btrfs", 5}, {"vfat", 6},
        {"unknown", 0}, {"ntfs", 0}, {"", 0}, {"ext4 ", 0}, {"EXT4", 0}, {"ext", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qv::fs_type_from_name(c.name), c.id) << c.name;
    // An unidentifiable or missing device is unknown.
    qvtest::temp_dir tmp;
    EXPECT_EQ(fs_type_detect(tmp.write("zeros", std::string(1 << 16, '\0')).c_str()), FS_TYPE_UNKNOWN);
    EXPECT_EQ(fs_type_detect(tmp.file("absent").c_str()), FS_TYPE_UNKNOWN);
    EXPECT_EQ(fs_type_detect(nullptr), FS_TYPE_UNKNOWN);
}

}  // namespace
