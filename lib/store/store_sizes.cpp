// SPDX-License-Identifier: LGPL-2.1-or-later
#include <sys/statvfs.h>

#include <cerrno>

#include "fs/block_device.h"
#include "store/store_sizes.h"
#include "store/store_path.h"

extern "C" uint64_t device_bytes_scaled(const char *device, double factor)
{
    double bytes = static_cast<double>(device_size_sectors(device, nullptr) * 512);
    return static_cast<uint64_t>(bytes * factor);
}

// One byte per sector of the device, in whole 4 KiB blocks, rounded to the nearest.
extern "C" uint64_t changelog_store_size(const char *device)
{
    uint64_t sectors = device_bytes_scaled(device, 1.0 / 512);
    return static_cast<uint64_t>(static_cast<double>(sectors) / STORE_CHANGELOG_UNIT + 0.5) * STORE_CHANGELOG_UNIT;
}

// Negative and not-a-number shares are refused like those of 100 % and more.
extern "C" int data_store_size(const char *device, uint64_t *size, double percentage, qvctl_status *st)
{
    if (!size)
        return qvctl_status_set(st, EINVAL, "ERROR: misusage of %s", __func__);
    if (*size != 0)
        return 0;
    if (percentage == 0) {
        *size = device_bytes_scaled(device, STORE_DATA_SHARE);
        return 0;
    }
    if (percentage > 0 && percentage < 100) {
        if (uint64_t v = device_bytes_scaled(device, percentage / 100); v != 0) {
            *size = v;
            return 0;
        }
    }
    return qvctl_status_set(st, ERANGE, "invalid data store size for device %s", device);
}

// Every free block, the superuser's reserve included, in the preferred block size.
extern "C" int fs_free_bytes(const char *path, uint64_t *out, qvctl_status *st)
{
    struct statvfs sv;
    if (!out || ::statvfs(path, &sv) != 0)
        return qvctl_status_set(st, out ? errno : EINVAL, "ERROR: Failed to get filesystem information for path %s",
                                path);
    *out = static_cast<uint64_t>(sv.f_bfree) * sv.f_bsize;
    return 0;
}

extern "C" int store_room_check(const char *mount, uint64_t size, const char *device, const char *lead,
                                qvctl_status *st)
{
    uint64_t free_bytes = 0;
    if (int r = fs_free_bytes(mount, &free_bytes, st); r != 0)
        return r;
    if (size > free_bytes)
        return qvctl_status_set(st, ENOSPC, "%s space on device %s (%llu bytes needed)", lead, device,
                                static_cast<unsigned long long>(size));
    return 0;
}
