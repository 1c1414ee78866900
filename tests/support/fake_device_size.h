// SPDX-License-Identifier: GPL-2.0-or-later
// A block device size in the test process: while a fake exists, device_size_sectors answers its size
// for its path, so that a regular file can stand for the source device, and asks the device otherwise.
#pragma once

#include <cstdint>
#include <string>

namespace qvtest {

struct fake_device_size {
    std::string path;           // the device asked about
    std::uint64_t sectors = 0;  // its size in 512-byte sectors
    int error = 0;              // non-zero: the query fails with this code

    fake_device_size(std::string device, std::uint64_t size_sectors);
    ~fake_device_size();
    fake_device_size(const fake_device_size &) = delete;
    fake_device_size &operator=(const fake_device_size &) = delete;
};

}  // namespace qvtest
