// SPDX-License-Identifier: GPL-2.0-or-later
// Attach flags and metadata extents on image files (no partition: the start sector is 0).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "qvctl_internal.h"
#include "temp_dir.h"
#include "xfs_image.h"

namespace {

std::string xfs_image(const qvtest::temp_dir &dir, std::uint16_t versionnum, std::uint64_t logstart)
{
    return fstest::write_bytes(dir.file("xfs-" + std::to_string(versionnum) + "-" + std::to_string(logstart)),
                               fstest::xfs_superblock(versionnum, logstart, 1000, 100, 12, 10));
}

TEST(AttachFlags, XfsVersionFiveOnlyAndFailuresLeftInTheRecord)
{
    qvtest::temp_dir dir;
    qvctl_status st{};
    EXPECT_EQ(attach_flags_get(xfs_image(dir, 0xb4a5, 0).c_str(), FS_TYPE_XFS, &st), ATTACH_FLAG_XFS_V5);
    EXPECT_EQ(attach_flags_get(xfs_image(dir, 0xb4a4, 0).c_str(), FS_TYPE_XFS, &st), 0u);
    EXPECT_EQ(st.code, 0u);
    std::string plain = dir.write("plain", std::string(600, 'x'));
    EXPECT_EQ(attach_flags_get(plain.c_str(), FS_TYPE_XFS, &st), 0u);
    EXPECT_EQ(st.code, 9u);
    // Other types clear what an earlier call left.
    EXPECT_EQ(attach_flags_get(plain.c_str(), FS_TYPE_EXT4, &st), 0u);
    EXPECT_EQ(st.code, 0u);
    EXPECT_STREQ(st.message, "");
    // An unmounted btrfs device is not read-write.
    EXPECT_EQ(attach_flags_get(plain.c_str(), FS_TYPE_BTRFS, &st), 0u);
}

TEST(MetaExtents, ByFilesystemType)
{
    qvtest::temp_dir dir;
    std::string plain = dir.write("plain", std::string(600, 'x'));
    sector_extent e{9, 9};
    EXPECT_EQ(fs_meta_extents_get(plain.c_str(), FS_TYPE_BTRFS, &e), 1u);
    EXPECT_EQ(e.start, 128u);
    EXPECT_EQ(e.count, 8u);
    EXPECT_EQ(fs_meta_extents_get(plain.c_str(), FS_TYPE_VFAT, &e), 1u);
    EXPECT_EQ(e.start, 0u);
    EXPECT_EQ(e.count, 8u);
    EXPECT_EQ(fs_meta_extents_get(plain.c_str(), FS_TYPE_UNKNOWN, nullptr), 1u);

    // An xfs type over bytes that are no xfs superblock falls back to the first 8 KiB.
    EXPECT_EQ(fs_meta_extents_get(plain.c_str(), FS_TYPE_XFS, &e), 1u);
    EXPECT_EQ(e.start, 0u);
    EXPECT_EQ(e.count, 16u);
    EXPECT_EQ(fs_meta_extents_get(dir.file("absent").c_str(), FS_TYPE_XFS, &e), 1u);
    EXPECT_EQ(e.count, 16u);

    // The log's place is the superblock reader's test; an external log leaves the extent alone.
    sector_extent untouched{5, 5};
    EXPECT_EQ(fs_meta_extents_get(xfs_image(dir, 0xb4a5, 0).c_str(), FS_TYPE_XFS, &untouched), 0u);
    EXPECT_EQ(untouched.start, 5u);
}

}  // namespace
