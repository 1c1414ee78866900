// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/block_device.h"

#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>

#include "fs/path_query.h"
#include "fs/sysfs_attr.h"

static_assert(BLKGETSIZE64 == 0x80081272);
static_assert(HDIO_GETGEO == 0x301);

extern "C" dev_t block_device_check(const char *path, qvctl_status *st)
{
    struct stat sb;
    if (!path || ::stat(path, &sb) != 0) {
        qvctl_status_set(st, path ? errno : EINVAL, "stat failed on %s", path ? path : "(null)");
        return 0;
    }
    if (!S_ISBLK(sb.st_mode))
        qvctl_status_set(st, ENOTBLK, "%s: not a block device", path);
    return sb.st_rdev;
}

namespace {
std::atomic<qv::device_size_source> size_source{nullptr};
}  // namespace

qv::device_size_source qv::device_size_source_set(device_size_source source) noexcept
{
    return size_source.exchange(source, std::memory_order_acq_rel);
}

extern "C" uint64_t device_size_sectors(const char *device, qvctl_status *st)
{
    if (qv::device_size_source source = size_source.load(std::memory_order_acquire))
        return source(device, st);
    return qv::device_size_query(device, st);
}

uint64_t qv::device_size_query(const char *device, qvctl_status *st)
{
    uint64_t bytes = 0;
    if (path_ioctl(device, BLKGETSIZE64, &bytes) == 0)
        return bytes >> 9;
    uint64_t sectors = 0;
    return sysfs_block_attr_read(device, "size", &sectors, st) == 0 ? sectors : 0;
}

namespace qv {

// Loop and some other drivers answer no geometry; then sysfs tells the start. A whole disk has no
// "start" anywhere and answers 0.
uint64_t partition_start_sector_at(const char *sysfs, const char *device)
{
    struct hd_geometry geo {};
    if (path_ioctl(device, HDIO_GETGEO, &geo) == 0)
        return geo.start;
    uint64_t start = 0;
    if (sysfs_block_attr_read_at(sysfs, device, "start", &start, nullptr) == 0)
        return start;
    start = 0;
    return sysfs_class_attr_read(sysfs, device, "start", start) ? start : 0;
}

}  // namespace qv

extern "C" uint64_t partition_start_sector(const char *device)
{
    return qv::partition_start_sector_at(qv::sysfs_root, device);
}
