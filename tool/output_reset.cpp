// The reset of a base image: zeros to the device size before any block is copied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qvctl_internal.h"
#include "snap.h"

extern "C" uint32_t snap_output_reset(snap_options *opts, uint64_t sectors)
{
    qvctl_status *status = &opts->status;
    struct stat sb;
    if (::fstat(opts->snapfile_fd, &sb) != 0)
        return static_cast<uint32_t>(qvctl_status_set(status, errno, "ERROR: fstat(%s) failed", opts->snapfile));
    if (!S_ISREG(sb.st_mode))
        return 0;  // a device or a pipe is written as it is
    if (int r = file_zero_fill(opts->snapfile_fd, sectors * 512, status))
        return static_cast<uint32_t>(r);
    // The zeros sit in the page cache in large folios, into which 4 KiB writes go at a fraction of
    // their speed. Written back and dropped, the pages come back as small ones when the blocks land.
    // Both are only a matter of speed: a failure here leaves the image correct.
    if (::fdatasync(opts->snapfile_fd) == 0)
        ::posix_fadvise(opts->snapfile_fd, 0, 0, POSIX_FADV_DONTNEED);
    return 0;
}
