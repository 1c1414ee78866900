// SPDX-License-Identifier: LGPL-2.1-or-later
/* Questions about a block device: is it one, how large is it, where does its partition start. */
#ifndef QV_BLOCK_DEVICE_H
#define QV_BLOCK_DEVICE_H

#include <stdint.h>
#include <sys/types.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The path's device number; 0 when it can't be examined. A path that is no block device is
 * reported (code 15) but not refused. */
dev_t block_device_check(const char *path, qvctl_status *st);
/* Size in 512-byte sectors, a trailing partial sector dropped; 0 on failure. */
uint64_t device_size_sectors(const char *device, qvctl_status *st);
/* First sector of the partition on its disk; 0 for a whole disk or when it can't be told. */
uint64_t partition_start_sector(const char *device);

#ifdef __cplusplus
}

namespace qv {
// The same with another sysfs root than /sys.
uint64_t partition_start_sector_at(const char *sysfs, const char *device);

// The size as the device itself answers it (BLKGETSIZE64, then sysfs), whatever source is set.
uint64_t device_size_query(const char *device, qvctl_status *st);
// Answers device_size_sectors in place of the device while set, so that a regular file can stand
// for a device of any size; null asks the device again. Returns the source it replaces.
using device_size_source = uint64_t (*)(const char *device, qvctl_status *st);
device_size_source device_size_source_set(device_size_source source) noexcept;
}  // namespace qv
#endif

#endif
