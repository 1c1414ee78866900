// SPDX-License-Identifier: GPL-2.0-or-later
// Identities live in /run/quorvex, one file per device named after its device number: /run is
// emptied at every boot, so a reboot leaves none, and a path that now names another disk does not
// inherit one.
#include "attach_identity.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "file_replace.h"
#include "unique_fd.h"

namespace qvctl_cli {

namespace {

constexpr const char *run_folder = "/run/quorvex";
constexpr std::size_t identity_bytes = 16;

std::string identity_path(const char *device)
{
    struct stat sb;
    if (::stat(device, &sb) != 0 || !S_ISBLK(sb.st_mode))
        return "";
    return std::string(run_folder) + "/attach-" + std::to_string(major(sb.st_rdev)) + ":" +
           std::to_string(minor(sb.st_rdev));
}

// The folder is root's alone; one that others could write is not trusted with identities.
bool folder_ready(qvctl_status &st)
{
    if (::mkdir(run_folder, 0700) != 0 && errno != EEXIST)
        return qvctl_status_set(&st, errno, "ERROR: could not create %s: %s", run_folder, std::strerror(errno)),
               false;
    struct stat sb;
    if (::lstat(run_folder, &sb) != 0 || !S_ISDIR(sb.st_mode) || sb.st_uid != ::geteuid() ||
        (sb.st_mode & (S_IWGRP | S_IWOTH)))
        return qvctl_status_set(&st, EACCES, "ERROR: %s is not a folder of this user's alone", run_folder), false;
    return true;
}

}  // namespace

bool attach_identity_record(const char *device, qvctl_status &st)
{
    std::string path = identity_path(device);
    if (path.empty())
        return qvctl_status_set(&st, ENOTBLK, "ERROR: %s is not a block device", device), false;
    if (!folder_ready(st))
        return false;
    unsigned char raw[identity_bytes];
    if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        return qvctl_status_set(&st, errno ? errno : EIO, "ERROR: no random bytes for an attach identity"), false;
    std::string text;
    for (unsigned char b : raw) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return file_replace(path, text + "\n", 0600, st);
}

void attach_identity_remove(const char *device)
{
    std::string path = identity_path(device);
    if (!path.empty())
        ::unlink(path.c_str());
}

std::string attach_identity_read(const char *device)
{
    std::string path = identity_path(device);
    if (path.empty())
        return "";
    qv::unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    char buf[2 * identity_bytes + 1] = "";
    ssize_t n = fd ? ::read(fd.get(), buf, 2 * identity_bytes) : -1;
    if (n != static_cast<ssize_t>(2 * identity_bytes))
        return "";
    return std::string(buf, 2 * identity_bytes);
}

}  // namespace qvctl_cli
