// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "fs/xfs_journal.h"
#include "fs/xfs_superblock.h"
#include "unique_fd.h"

extern "C" uint32_t xfs_sb_version(const char *device, uint32_t *version, qvctl_status *st)
{
    qv::unique_fd fd(::open(device, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return qvctl_status_set(st, errno, "failed to open xfs journal (open, %s): %s", device,
                                std::strerror(errno));
    std::array<std::uint8_t, 104> sb{};
    ssize_t n = ::read(fd.get(), sb.data(), sb.size());
    if (n < 0)
        return qvctl_status_set(st, errno, "failed to read xfs journal (read, %s): %s", device,
                                std::strerror(errno));
    qv::bytes got(sb.data(), static_cast<std::size_t>(n));
    if (!qv::xfs::has_magic(got, qv::xfs::off_versionnum + 2))
        return qvctl_status_set(st, 9, "xfs  magic number mismatched on device %s", device);
    *version = qv::load_be<std::uint16_t>(got, qv::xfs::off_versionnum) & 0xfu;
    return 0;
}
