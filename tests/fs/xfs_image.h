// SPDX-License-Identifier: GPL-2.0-or-later
// Hand-built xfs superblocks holding only the fields the readers use.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "bytes.h"

namespace fstest {

inline std::vector<std::uint8_t> xfs_superblock(std::uint16_t versionnum, std::uint64_t logstart,
                                                std::uint32_t agblocks, std::uint32_t logblocks,
                                                std::uint8_t blocklog, std::uint8_t agblklog)
{
    std::vector<std::uint8_t> sb(512, 0);
    qv::mut_bytes b(sb);
    qv::store_le<std::uint32_t>(b, 0, qv::byteswap<std::uint32_t>(0x58465342));
    qv::store_le<std::uint64_t>(b, 48, qv::byteswap(logstart));
    qv::store_le<std::uint32_t>(b, 84, qv::byteswap(agblocks));
    qv::store_le<std::uint32_t>(b, 96, qv::byteswap(logblocks));
    qv::store_le<std::uint16_t>(b, 100, qv::byteswap(versionnum));
    sb[120] = blocklog;
    sb[124] = agblklog;
    return sb;
}

inline std::string write_bytes(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace fstest
