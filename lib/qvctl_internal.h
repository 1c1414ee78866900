// SPDX-License-Identifier: LGPL-2.1-or-later
/* The library's internal operations: exported C symbols for the tool, the tests and the library's own
 * parts, declared per concern. */
#ifndef QVCTL_INTERNAL_H
#define QVCTL_INTERNAL_H

#include "qvctl.h"

/* the module request channel */
#ifdef __cplusplus
#include "request_channel.h"
#endif

/* filesystem and device support */
#include "fs/block_device.h"
#include "fs/fs_type.h"
#include "fs/mount_table.h"
#include "fs/path_query.h"
#include "fs/sysfs_attr.h"
#include "fs/attach_meta.h"
#include "fs/freeze.h"
#include "fs/xfs_journal.h"

/* devices and snapshots */
#include "device_record.h"
#include "snapshot_freeze.h"

/* btrfs */
#include "btrfs/btrfs.h"

/* stores */
#include "store/store_path.h"
#include "store/store_pieces.h"
#include "store/store_sizes.h"
#include "store/store_register.h"

/* changelog and zero fill */
#include "changelog_request.h"
#include "store/zero_fill.h"

#endif
