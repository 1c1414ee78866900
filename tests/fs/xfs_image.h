// SPDX-License-Identifier: GPL-2.0-or-later
// Hand-built xfs superblocks: a 512-byte sector holding the fields the readers use, four groups.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crc32c.h"
#include "fs/xfs_superblock.h"

namespace fstest {

namespace sb = qv::xfs::sb;

inline std::vector<std::uint8_t> xfs_superblock(std::uint16_t versionnum, std::uint64_t logstart,
                                                std::uint32_t agblocks, std::uint32_t logblocks,
                                                std::uint8_t blocklog, std::uint8_t agblklog,
                                                const std::function<void(std::vector<std::uint8_t> &)> &change = {})
{
    std::vector<std::uint8_t> b(512, 0);
    sb::magicnum.put(b, qv::xfs::magic);
    sb::blocksize.put(b, 1u << blocklog);
    sb::dblocks.put(b, 4ull * agblocks);
    sb::logstart.put(b, logstart);
    sb::agblocks.put(b, agblocks);
    sb::agcount.put(b, 4);
    sb::logblocks.put(b, logblocks);
    sb::versionnum.put(b, versionnum);
    sb::sectsize.put(b, 512);
    sb::blocklog.put(b, blocklog);
    sb::sectlog.put(b, 9);
    sb::agblklog.put(b, agblklog);
    // A version 5 superblock carries the checksum of its sector, taken after `change`.
    if (change)
        change(b);
    std::vector<std::uint8_t> zeroed = b;
    sb::crc.put(zeroed, 0);
    if ((sb::versionnum(b) & 0xf) == 5)
        sb::crc.put(b, qv::crc32c(qv::bytes(zeroed).first(std::min<std::size_t>(sb::sectsize(b), b.size()))));
    return b;
}

inline std::string write_bytes(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace fstest
