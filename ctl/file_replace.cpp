// SPDX-License-Identifier: GPL-2.0-or-later
// The temporary file is created new and exclusive under a name of its own (mkostemp), never at a
// fixed name that someone may have planted; a rename replaces a link at the target instead of
// following it; the folder is synced so that the rename itself survives a crash.
#include "file_replace.h"
#include "path_format.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "unique_fd.h"

namespace qvctl_cli {

namespace {

bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool file_replace(const std::string &path, std::string_view text, mode_t mode, qvctl_status &st)
{
    const auto fail = [&](int e) {
        e = e ? e : EIO;
        qvctl_status_set(&st, e, "ERROR: could not write %s: %s", path.c_str(), std::strerror(e));
        return false;
    };
    std::string name = path + ".XXXXXX";
    std::vector<char> tmp(name.begin(), name.end());
    tmp.push_back('\0');
    qv::unique_fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return fail(errno);
    bool written = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), text) && ::fsync(fd.get()) == 0;
    int e = errno;
    fd.reset();
    if (!written || ::rename(tmp.data(), path.c_str()) != 0) {
        e = written ? errno : e;
        ::unlink(tmp.data());
        return fail(e);
    }
    qv::unique_fd dir(::open(qv::folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || ::fsync(dir.get()) != 0)
        return fail(errno);
    return true;
}

}  // namespace qvctl_cli
