// SPDX-License-Identifier: GPL-2.0-or-later
// Attach flags and metadata extents by filesystem type, on image files.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "qvctl_internal.h"
#include "temp_dir.h"
#include "xfs_image.h"

namespace {

std::string xfs_image(const qvtest::temp_dir &dir, std::uint16_t versionnum)
{
    return fstest::write_bytes(dir.file("xfs-" + std::to_string(versionnum)),
                               fstest::xfs_superblock(versionnum, 0, 1000, 100, 12, 10));
}

TEST(AttachMeta, FlagsAndMetadataExtentsByType)
{
    qvtest::temp_dir dir;
    qvctl_status st{};
    const std::string plain = dir.write("plain", std::string(600, 'x')), v5 = xfs_image(dir, 0xb4a5);
    EXPECT_EQ(attach_flags_get(v5.c_str(), FS_TYPE_XFS, &st), ATTACH_FLAG_XFS_V5);
    EXPECT_EQ(attach_flags_get(xfs_image(dir, 0xb4a4).c_str(), FS_TYPE_XFS, &st), 0u);
    EXPECT_EQ(attach_flags_get(plain.c_str(), FS_TYPE_XFS, &st), 0u);
    EXPECT_EQ(st.code, 9u);
    EXPECT_EQ(attach_flags_get(plain.c_str(), FS_TYPE_EXT4, &st), 0u);  // clears what an earlier call left
    EXPECT_EQ(st.code, 0u);

    // An xfs type over bytes that are no xfs superblock, or none at all, falls back to the first 8 KiB;
    // the log's place is the superblock reader's test.
    struct meta_case {
        std::string path;
        fs_type type;
        std::uint64_t start, count;
    };
    for (const meta_case &c : {meta_case{plain, FS_TYPE_BTRFS, 128, 8}, meta_case{plain, FS_TYPE_VFAT, 0, 8},
                               meta_case{plain, FS_TYPE_XFS, 0, 16}, meta_case{dir.file("absent"), FS_TYPE_XFS, 0, 16}}) {
        sector_extent e{9, 9};
        EXPECT_EQ(fs_meta_extents_get(c.path.c_str(), c.type, &e), 1u) << c.type;
        EXPECT_EQ(e.start, c.start) << c.type;
        EXPECT_EQ(e.count, c.count) << c.type;
    }
    sector_extent untouched{5, 5};  // an external log leaves the extent alone
    EXPECT_EQ(fs_meta_extents_get(v5.c_str(), FS_TYPE_XFS, &untouched), 0u);
    EXPECT_EQ(untouched.start, 5u);
}

}  // namespace
