// SPDX-License-Identifier: GPL-2.0-or-later
// The single output file's guard: a lock so that two runs never write one image, the incomplete
// mark that an image carries until its run has succeeded and its data is on the disk.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "snap_engine.h"

namespace {

bool is_regular(int fd)
{
    struct stat sb;
    return ::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode);
}

// An incremental run over an image whose base run never finished leaves it marked: patching it
// does not make it whole.
bool base_unfinished(int fd)
{
    char value[256];
    ssize_t n = ::fgetxattr(fd, SNAP_MARK_NAME, value, sizeof value - 1);
    return n >= 5 && std::strncmp(value, "base ", 5) == 0;
}

// "KIND DEVICE START", the start in UTC.
void mark_value(const snap_options &o, char (&out)[256])
{
    char when[32] = "";
    time_t now = ::time(nullptr);
    struct tm tm;
    if (::gmtime_r(&now, &tm))
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    const char *kind = (o.flags & SNAP_RESYNC) ? "resync" : (o.flags & SNAP_INCREMENTAL) ? "incremental" : "base";
    std::snprintf(out, sizeof out, "%s %s %s", kind, o.blkdev, when);
}

int mark(snap_options &o)
{
    if (!is_regular(o.snapfile_fd))
        return 0;  // a device or a pipe carries no mark
    if ((o.flags & SNAP_INCREMENTAL) && base_unfinished(o.snapfile_fd)) {
        qvctl_log(LOG_WARNING, stderr, "WARNING: %s holds an unfinished base image; it stays marked incomplete",
                  o.snapfile);
        return 0;
    }
    char value[256];
    mark_value(o, value);
    if (::fsetxattr(o.snapfile_fd, SNAP_MARK_NAME, value, std::strlen(value), 0) == 0) {
        o.marked = 1;
        return 0;
    }
    int e = errno;
    if (e == ENOTSUP) {
        qvctl_log(LOG_DEBUG, stdout, "The filesystem of %s takes no user extended attributes: no incomplete mark",
                  o.snapfile);
        return 0;
    }
    return qvctl_status_set(&o.status, e, "ERROR: could not mark %s incomplete: %s", o.snapfile,
                                    std::strerror(e));
}

// Closed and left 0, as an output that was never opened.
void drop_output(snap_options &o)
{
    ::close(o.snapfile_fd);
    o.snapfile_fd = 0;
}

// A failing open is told on a line of its own; the status record stays empty, as the closing line
// shows it.
int open_output(snap_options &o)
{
    // Never truncated at the open: the file may be another run's image until the lock is ours.
    qvctl_status refused{};
    o.snapfile_fd = snap_file_open(o.snapfile, O_RDWR | O_CREAT, 0644, &refused);
    if (o.snapfile_fd >= 0)
        return 0;
    int e = errno;
    o.snapfile_fd = 0;
    if (refused.code)
        qvctl_log(LOG_ERR, stderr, "%s", refused.message);
    else
        qvctl_log(LOG_ERR, stderr, "ERROR: could not open file %s", o.snapfile);
    return e;
}

}  // namespace

extern "C" int snap_output_open(snap_options *opts)
{
    snap_options &o = *opts;
    const bool own = !(o.flags & SNAP_OUTPUT_LOCKED);
    if (own) {
        if (int r = open_output(o))
            return r;
        if (::flock(o.snapfile_fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            drop_output(o);
            if (e == EWOULDBLOCK)
                return qvctl_status_set(&o.status, EBUSY, "ERROR: %s is in use by another run", o.snapfile);
            return qvctl_status_set(&o.status, e, "ERROR: could not lock %s: %s", o.snapfile,
                                            std::strerror(e));
        }
    }
    int r = mark(o);
    const bool base = !(o.flags & (SNAP_INCREMENTAL | SNAP_RESYNC));
    if (!r && base && is_regular(o.snapfile_fd) && ::ftruncate(o.snapfile_fd, 0) != 0)
        r = qvctl_status_set(&o.status, errno, "ERROR: could not empty %s: %s", o.snapfile,
                                     std::strerror(errno));
    if (r && own)
        drop_output(o);
    return r;
}

extern "C" int snap_output_finish(snap_options *opts, int result)
{
    snap_options &o = *opts;
    if (!result && ::fdatasync(o.snapfile_fd) != 0 && errno != EINVAL) {
        // EINVAL: a pipe or a character device, which has nothing to put on a disk.
        int e = errno;
        result = qvctl_status_set(&o.status, e, "ERROR: could not write %s to the disk: %s", o.snapfile,
                                          std::strerror(e));
    }
    if (!result && o.marked && ::fremovexattr(o.snapfile_fd, SNAP_MARK_NAME) != 0 && errno != ENODATA) {
        int e = errno;
        result = qvctl_status_set(&o.status, e, "ERROR: could not lift the incomplete mark of %s: %s",
                                          o.snapfile, std::strerror(e));
    }
    if (!result)
        o.marked = 0;
    if (o.flags & SNAP_OUTPUT_LOCKED)
        return result;
    // A failing close replaces whatever the run left: the data may not have reached the file.
    if (::close(o.snapfile_fd) != 0) {
        int e = errno;
        result = qvctl_status_set(&o.status, e, "ERROR: failed to close %s [%d, '%s']", o.snapfile, e,
                                  std::strerror(e));
    }
    o.snapfile_fd = 0;
    return result;
}
