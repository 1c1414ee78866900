// SPDX-License-Identifier: GPL-2.0-or-later
// The copy engine driven in the test process: a regular file stands for the snapshot device, its
// size is answered by the device-size fake, the changelog by the changelog fake.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "../sim/fs_helpers.h"
#include "fake_device_size.h"
#include "snap.h"
#include "temp_dir.h"

namespace tooltest {

using simtest::pattern;
using simtest::read_file;

struct engine {
    static constexpr const char *device = "/dev/qvtest-source";
    qvtest::temp_dir dir;
    std::string source_path = dir.file("source");
    std::string image = dir.file("image");
    std::string source;
    qvtest::fake_device_size size;
    snap_options o;

    explicit engine(std::uint64_t sectors, std::uint32_t flags = SNAP_HIDE_PROGRESS, int workers = 1)
        : source(pattern(sectors * 512, 1)), size(device, sectors)
    {
        std::ofstream(source_path, std::ios::binary) << source;
        snap_options_init(&o);
        std::snprintf(o.blkdev, sizeof o.blkdev, "%s", device);
        std::snprintf(o.snapfile, sizeof o.snapfile, "%s", image.c_str());
        o.workers = workers;
        o.flags = flags;
        o.snapdev_fd = ::open(source_path.c_str(), O_RDONLY);
    }
    ~engine()
    {
        ::close(o.snapdev_fd);
        if (o.snapfile_fd > 0)
            ::close(o.snapfile_fd);
    }

    // Opens the image as the run does: truncated for a base run, kept for an incremental one.
    void open_image(const std::string &initial = "")
    {
        if (!initial.empty())
            std::ofstream(image, std::ios::binary) << initial;
        int mode = (o.flags & SNAP_INCREMENTAL) ? O_RDWR | O_CREAT : O_RDWR | O_CREAT | O_TRUNC;
        o.snapfile_fd = ::open(image.c_str(), mode, 0644);
    }

    std::uint32_t copy() { return snap_copy(&o); }
};

}  // namespace tooltest
