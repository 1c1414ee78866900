// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include "crc32c.h"
#include "fs/xfs_journal.h"
#include "fs/xfs_superblock.h"
#include "unique_fd.h"

namespace qv::xfs {

namespace {

bool power_of_two_within(std::uint64_t v, std::uint64_t low, std::uint64_t high)
{
    return std::has_single_bit(v) && v >= low && v <= high;
}

// Taken with the checksum field as zero, the way xfs computes it.
std::uint32_t sector_crc(bytes sector)
{
    constexpr std::uint8_t zero[sb::crc.size] = {};
    std::uint32_t crc = crc32c(sector.first(sb::crc.offset));
    crc = crc32c(bytes(zero), crc);
    return crc32c(sector.subspan(sb::crc.end()), crc);
}

}  // namespace

int check(bytes b, const char *device, qvctl_status *st)
{
    const auto failed = [&](const char *what, std::uint64_t value) {
        return qvctl_status_set(st, QVCTL_EBADDATA, "xfs superblock on device %s failed its check: %s %llu", device,
                                what, static_cast<unsigned long long>(value));
    };
    const std::uint32_t block = sb::blocksize(b), sector = sb::sectsize(b);
    // The checksum covers the superblock's whole sector, which the read must hold.
    if (!power_of_two_within(sector, 512, max_sector) || sb::sectlog(b) != std::countr_zero(sector) ||
        sector > b.size())
        return failed("sector size", sector);
    if ((sb::versionnum(b) & version_mask) == 5 && sb::crc(b) != sector_crc(b.first(sector)))
        return qvctl_status_set(st, QVCTL_EBADDATA, "xfs superblock on device %s failed its check: checksum",
                                device);
    if (!power_of_two_within(block, 512, 65536) || sb::blocklog(b) != std::countr_zero(block) || sector > block)
        return failed("block size", block);
    const std::uint64_t agblocks = sb::agblocks(b), agcount = sb::agcount(b), dblocks = sb::dblocks(b);
    // agblklog is the width of a block number inside a group: the log's start is split by it.
    if (agblocks == 0 || sb::agblklog(b) != std::bit_width(agblocks - 1))
        return failed("allocation group blocks", agblocks);
    if (agcount == 0)
        return failed("allocation group count", agcount);
    // Every group is whole but the last, which holds at least one block.
    if (dblocks > agcount * agblocks || dblocks <= (agcount - 1) * agblocks)
        return failed("data blocks", dblocks);
    const std::uint64_t logstart = sb::logstart(b), logblocks = sb::logblocks(b);
    if (logstart == 0)
        return 0;  // the log lives on another device, its size counted there
    const std::uint64_t group = shr(logstart, sb::agblklog(b)), in_group = logstart & ((1ull << sb::agblklog(b)) - 1);
    if (group >= agcount || in_group >= agblocks || group * agblocks + in_group >= dblocks)
        return failed("log start", logstart);
    // An internal log lies inside one allocation group.
    if (logblocks == 0 || logblocks > agblocks - in_group || logblocks > dblocks - (group * agblocks + in_group))
        return failed("log blocks", logblocks);
    return 0;
}

}  // namespace qv::xfs

extern "C" int xfs_sb_version(const char *device, uint32_t *version, qvctl_status *st)
{
    qv::unique_fd fd(::open(device, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return qvctl_status_set(st, errno, "failed to open xfs journal (open, %s): %s", device,
                                std::strerror(errno));
    std::array<std::uint8_t, qv::xfs::max_sector> buf{};
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0)
        return qvctl_status_set(st, errno, "failed to read xfs journal (read, %s): %s", device,
                                std::strerror(errno));
    qv::bytes got(buf.data(), static_cast<std::size_t>(n));
    if (!qv::xfs::has_magic(got, qv::xfs::sb::fields_end))
        return qvctl_status_set(st, QVCTL_EBADDATA, "xfs  magic number mismatched on device %s", device);
    if (int r = qv::xfs::check(got, device, st))
        return r;
    *version = qv::xfs::sb::versionnum(got) & qv::xfs::version_mask;
    return 0;
}
