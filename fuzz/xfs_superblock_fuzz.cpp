// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds the first bytes of a device to the xfs superblock readers: the version and the log's extent.
// The input is the device's content; a version must be one, and a failure must leave it untouched.
// A version 5 superblock whose stored checksum is zero is given its right one first, so that
// mutations of seeds with zeroed checksums reach the range checks behind it; any other stored value
// is read as it is.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crc32c.h"
#include "fs/xfs_journal.h"
#include "fs/xfs_superblock.h"
#include "unique_fd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    namespace sb = qv::xfs::sb;
    std::vector<uint8_t> device(data, data + size);
    const size_t sector = std::min<size_t>(sb::sectsize(device), size);
    if ((sb::versionnum(device) & qv::xfs::version_mask) == 5 && sb::crc(device) == 0 && sector >= sb::crc.end())
        sb::crc.put(device, qv::crc32c(qv::bytes(device).first(sector)));
    qv::unique_fd fd(memfd_create("xfs-superblock", MFD_CLOEXEC));
    if (!fd || (size && write(fd.get(), device.data(), size) != static_cast<ssize_t>(size)))
        return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd.get());

    constexpr uint32_t untouched = 99;
    uint32_t version = untouched;
    qvctl_status st{};
    const int r = xfs_sb_version(path, &version, &st);
    if ((r == 0 && version > 15) || (r != 0 && version != untouched))
        std::abort();

    sector_extent log{};
    uint32_t count = 0;
    if (xfs_log_extent(path, 2048, &log, &count, &st) == 0 && count > 1)
        std::abort();
    return 0;
}
