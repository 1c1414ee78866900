// SPDX-License-Identifier: LGPL-2.1-or-later
/* Numeric attributes of block devices under /sys/block, for whole disks and their partitions. */
#ifndef QV_SYSFS_ATTR_H
#define QV_SYSFS_ATTR_H

#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 with the number read into `out` (left as it was when the file holds no number), or a code. */
int sysfs_block_attr_read(const char *device, const char *attr, uint64_t *out, qvctl_status *st);

#ifdef __cplusplus
}

#include <string_view>

namespace qv {

// A partition's disk is named by the leading non-digits of the partition's name (sda1: sda);
// empty when the name starts with a digit.
constexpr std::string_view sysfs_disk_name(std::string_view name)
{
    std::size_t start = name.find_first_not_of("0123456789");
    if (start == std::string_view::npos)
        return {};
    name.remove_prefix(start);
    return name.substr(0, name.find_first_of("0123456789"));
}

static_assert(sysfs_disk_name("sda1") == "sda");
static_assert(sysfs_disk_name("nvme0n1p1") == "nvme");
static_assert(sysfs_disk_name("2024").empty());

inline constexpr const char *sysfs_root = "/sys";

// The same read below another sysfs root than /sys (its block/ and class/block/ folders).
int sysfs_block_attr_read_at(const char *root, const char *device, const char *attr, uint64_t *out,
                             qvctl_status *st);

// The attribute from the device's own class entry, root/class/block/NAME/attr, which every block
// device has whatever its name; false when it can't be read.
bool sysfs_class_attr_read(const char *root, const char *device, const char *attr, uint64_t &out);

}  // namespace qv
#endif

#endif
