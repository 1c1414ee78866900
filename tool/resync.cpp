// SPDX-License-Identifier: GPL-2.0-or-later
// A resync: the image brought equal to the snapshot whatever the changelog says, by the comparison
// of every block, rewriting the blocks that differ.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qvctl_internal.h"
#include "snap_engine.h"

namespace {

using ull = unsigned long long;

// An image of another size is cut or grown to the device's, so that it ends with the device's bytes
// and nothing after them; the grown part reads as zeros and is compared as such.
int fit_size(snap_options &o, uint64_t sectors)
{
    struct stat sb;
    if (::fstat(o.snapfile_fd, &sb) != 0)
        return qvctl_status_set(&o.status, errno, "ERROR: fstat(%s) failed", o.snapfile);
    const off_t bytes = static_cast<off_t>(sectors * 512);
    if (!S_ISREG(sb.st_mode) || sb.st_size == bytes)
        return 0;
    qvctl_log(LOG_NOTICE, stdout, "%s holds %llu bytes, the device %llu: sized to the device", o.snapfile,
              static_cast<ull>(sb.st_size), static_cast<ull>(bytes));
    if (::ftruncate(o.snapfile_fd, bytes) != 0)
        return qvctl_status_set(&o.status, errno, "ERROR: could not size %s to %llu bytes: %s",
                                                      o.snapfile, static_cast<ull>(bytes), std::strerror(errno));
    return 0;
}

}  // namespace

extern "C" int snap_resync(snap_options *opts)
{
    snap_options &o = *opts;
    o.total = o.copied = o.bytes = 0;
    uint64_t sectors = device_size_sectors(o.blkdev, &o.status);
    if (sectors == 0)
        return o.status.code;
    if (int r = fit_size(o, sectors))
        return r;
    const uint32_t flags = o.flags;
    o.flags = (flags & ~SNAP_INCREMENTAL) | SNAP_RESYNC;
    snap_verify_result found{};
    uint32_t code = snap_verify(&o, &found);
    o.flags = flags;
    if (code)
        return code;
    o.total = found.blocks;
    o.copied = found.differing;
    o.bytes = found.bytes_written;
    qvctl_log(LOG_INFO, stdout, "Resync of %s: %llu of %llu blocks differed and were rewritten", o.snapfile,
              static_cast<ull>(found.differing), static_cast<ull>(found.blocks));
    return 0;
}
