// SPDX-License-Identifier: LGPL-2.1-or-later
/* Where a block device is mounted and how, from the kernel's mount table (then /etc/mtab). */
#ifndef QV_MOUNT_TABLE_H
#define QV_MOUNT_TABLE_H

#include <mntent.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The first entry of `table` whose device resolves to the same path as `device`, filled into `entry`
 * with its strings in `buf`; null when there is none or the table can't be read. */
struct mntent *mount_entry_find(const char *device, const char *table, struct mntent *entry, char *buf,
                                int size);
/* 0 with the mount point in `out` (at most `size` bytes); -2 when no table lists the device. */
int mount_point_get(const char *device, char *out, size_t size);
/* 1 when the device is mounted with "rw", else 0. */
int mount_is_rw(const char *device);

#ifdef __cplusplus
}

#include <span>

namespace qv {

// Consulted in order until one lists the device.
inline constexpr const char *mount_tables[] = {"/proc/mounts", "/etc/mtab"};

struct mntent *mount_entry_lookup(const char *device, std::span<const char *const> tables,
                                  struct mntent *entry, char *buf, int size);
int mount_point_from(const char *device, std::span<const char *const> tables, char *out, size_t size);
int mount_is_rw_from(const char *device, std::span<const char *const> tables);

}  // namespace qv
#endif

#endif
