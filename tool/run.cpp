// SPDX-License-Identifier: GPL-2.0-or-later
// The run's set-up around the copy: the source check, the snapshot device, the two opens, the
// notice, and the closing of what was opened.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qvctl_internal.h"
#include "snap_engine.h"

namespace {

// The library may answer up to 4096 bytes; only a name that fits the field is opened.
int snapshot_device_get(snap_options &o)
{
    char path[4096] = "";
    if (int r = qvctl_snapshot_get(o.blkdev, path, &o.status))
        return r;
    if (std::strlen(path) >= sizeof o.snapdev)
        return qvctl_status_set(&o.status, ENAMETOOLONG,
                                                      "ERROR: snapshot device of %s has a name too long: %.64s...",
                                                      o.blkdev, path);
    std::memcpy(o.snapdev, path, std::strlen(path) + 1);
    return 0;
}

// A dry run leaves FILE as it was: it is neither created nor emptied, so it is not opened.
bool output_opened(const snap_options &o) { return !(o.flags & (SNAP_SEPARATED | SNAP_NO_WRITE)); }

}  // namespace

extern "C" int snap_run(snap_options *opts)
{
    snap_options &o = *opts;
    block_device_check(o.blkdev, &o.status);
    if (o.status.code)
        return o.status.code;
    if (int r = snapshot_device_get(o))
        return r;
    qvctl_log(LOG_DEBUG, stdout, "SnapShot Device for source %s: %s", o.blkdev, o.snapdev);

    o.snapdev_fd = ::open(o.snapdev, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (o.snapdev_fd < 0) {
        int e = errno;
        qvctl_log(LOG_ERR, stderr, "ERROR: could not open file %s: %s", o.snapdev, std::strerror(e));
        return static_cast<uint32_t>(e);
    }
    if (output_opened(o))
        if (int r = snap_output_open(&o)) {
            ::close(o.snapdev_fd);
            return r;
        }
    qvctl_log(LOG_NOTICE, stdout, "Performing %s snapshot from %s (source: %s) to %s with %u %s",
              (o.flags & SNAP_RESYNC) ? "resync" : (o.flags & SNAP_INCREMENTAL) ? "incremental" : "base", o.snapdev, o.blkdev, o.snapfile,
              static_cast<unsigned>(o.workers), o.workers < 2 ? "worker" : "workers");
    qvctl_log(LOG_DEBUG, stdout, "BlkDev: %s SnapDev: %s SnapFile: %s", o.blkdev, o.snapdev, o.snapfile);

    int result = (o.flags & SNAP_RESYNC) ? snap_resync(&o) : snap_copy(&o);
    if (output_opened(o))
        result = snap_output_finish(&o, result);
    ::close(o.snapdev_fd);
    return result;
}
