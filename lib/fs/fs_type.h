// SPDX-License-Identifier: LGPL-2.1-or-later
/* Filesystem types as libblkid names them, reduced to the ids the module knows. */
#ifndef QV_FS_TYPE_H
#define QV_FS_TYPE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t fs_type;

enum {
    FS_TYPE_UNKNOWN = 0,
    FS_TYPE_EXT2 = 1,
    FS_TYPE_EXT3 = 2,
    FS_TYPE_EXT4 = 3,
    FS_TYPE_XFS = 4,
    FS_TYPE_BTRFS = 5,
    FS_TYPE_VFAT = 6,
};

/* The id of the filesystem on `device`; FS_TYPE_UNKNOWN when it is none of ours or can't be probed. */
fs_type fs_type_detect(const char *device);

#ifdef __cplusplus
}

#include <span>
#include <string_view>

namespace qv {

struct fs_type_row {
    std::string_view name;
    fs_type id;
};

// Searched in row order; "unknown" is libblkid's own word for a device it can't name.
inline constexpr fs_type_row fs_type_table[] = {
    {"ext2", FS_TYPE_EXT2},   {"ext3", FS_TYPE_EXT3},   {"ext4", FS_TYPE_EXT4},       {"xfs", FS_TYPE_XFS},
    {"btrfs", FS_TYPE_BTRFS}, {"vfat", FS_TYPE_VFAT},   {"unknown", FS_TYPE_UNKNOWN},
};

constexpr fs_type fs_type_from_name(std::string_view name)
{
    for (const auto &row : fs_type_table)
        if (row.name == name)
            return row.id;
    return FS_TYPE_UNKNOWN;
}

static_assert(fs_type_from_name("btrfs") == FS_TYPE_BTRFS);
static_assert(fs_type_from_name("ntfs") == FS_TYPE_UNKNOWN);

// libblkid's name for what the device holds ("ext4", "ntfs", ...), cut to fit `out`; false (and
// `out` empty) when it finds nothing (or more than one filesystem) or the device can't be read.
bool fs_type_name_probe(const char *device, std::span<char> out);

}  // namespace qv
#endif

#endif
