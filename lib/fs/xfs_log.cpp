// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "fs/xfs_journal.h"
#include "fs/xfs_superblock.h"
#include "unique_fd.h"

extern "C" int xfs_log_extent(const char *device, uint64_t part_start, sector_extent *out, uint32_t *count,
                              qvctl_status *st)
{
    qv::unique_fd fd(::open(device, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return qvctl_status_set(st, errno, "failed to map xfs journal (open, %s): %s", device,
                                std::strerror(errno));
    std::array<std::uint8_t, qv::xfs::max_sector> buf{};
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0)
        return qvctl_status_set(st, errno, "failed to map xfs journal (read, %s): %s", device,
                                std::strerror(errno));
    qv::bytes got(buf.data(), static_cast<std::size_t>(n));
    auto fields = qv::xfs::load_log_fields(got);
    if (!qv::xfs::has_magic(got, 4) || !fields)
        return qvctl_status_set(st, QVCTL_EBADDATA, "failed to map xfs journal: magic number mismatched on device %s",
                                device);
    if (int r = qv::xfs::check(got, device, st))
        return r;
    if (fields->logstart == 0)
        return 0;  // the log lives on another device
    if (count)
        *count = 1;
    if (out) {
        sector_extent e = qv::xfs::log_sectors(*fields);
        out->start = e.start + part_start;
        out->count = e.count;
    }
    return 0;
}
