// SPDX-License-Identifier: GPL-2.0-or-later
// Opening a file that a run creates or writes. In a world-writable sticky folder (such as /tmp)
// another user may have planted a symbolic link, a hard link or a file of their own at the name;
// root writing through it would overwrite whatever it points at. The rule that the kernel's
// protected_symlinks and protected_regular give is applied here even where the host turned them off.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "path_format.h"
#include "snap_engine.h"
#include "unique_fd.h"

namespace {

bool shared_folder(const struct stat &sb) { return (sb.st_mode & S_ISVTX) && (sb.st_mode & S_IWOTH); }

int refuse(qvctl_status *status, const char *path, const std::string &folder, const char *what)
{
    qvctl_status_set(status, EACCES, "ERROR: %s is %s in the world-writable folder %s; it is not written", path, what,
                     folder.c_str());
    errno = EACCES;
    return -1;
}

}  // namespace

extern "C" int snap_file_open(const char *path, int flags, mode_t mode, qvctl_status *status)
{
    const bool truncate = flags & O_TRUNC;
    // Truncated only once the file is known to be ours to write.
    const int base = (flags & ~O_TRUNC) | O_LARGEFILE;
    const std::string folder = qv::folder_of(path);
    qv::unique_fd fd(::open(path, base | O_CLOEXEC | O_NOFOLLOW, mode));
    const int e = errno;
    struct stat link;
    // Kernels answer a link under O_NOFOLLOW with ELOOP, or with EACCES when O_CREAT is given.
    if (!fd && (e == ELOOP || e == EACCES) && ::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
        struct stat dir;
        if (::stat(folder.c_str(), &dir) != 0)
            return -1;
        // A link in a sticky folder cannot be replaced by others once it is the caller's or the
        // folder owner's, so following it after this test is safe.
        if (shared_folder(dir) && link.st_uid != ::geteuid() && link.st_uid != dir.st_uid)
            return refuse(status, path, folder, "a symbolic link of another user");
        fd.reset(::open(path, base | O_CLOEXEC, mode));
    } else if (!fd) {
        errno = e;
    }
    if (!fd)
        return -1;
    struct stat sb;
    if (::fstat(fd.get(), &sb) != 0)
        return -1;
    if (S_ISREG(sb.st_mode) && (sb.st_uid != ::geteuid() || sb.st_nlink > 1)) {
        struct stat dir;
        if (::stat(folder.c_str(), &dir) == 0 && shared_folder(dir))
            return refuse(status, path, folder,
                          sb.st_uid != ::geteuid() ? "a file of another user" : "a file with other hard links");
    }
    if (truncate && S_ISREG(sb.st_mode) && ::ftruncate(fd.get(), 0) != 0)
        return -1;
    return fd.release();
}
