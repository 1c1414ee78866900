// SPDX-License-Identifier: GPL-2.0-or-later
// A loop device over a sparse image file, for tests that need a real block device (root only:
// guard the test with QV_REQUIRE_ROOT_LOOP() first).
//
//   qvtest::loop_image img({.fs = "ext4", .partition_start = 2048});
//   ASSERT_TRUE(img.ok()) << img.error();
//   img.disk();         // "/dev/loopN", the whole disk
//   img.device();       // the device holding the filesystem: "/dev/loopNp1" with a partition, else disk()
//   img.mount_point();  // where device() is mounted ("" when not mounted)
//   img.path("name");   // a free path inside the fixture's private directory (for links, files)
//   img.image();        // the image file
//
// Options (loop_image_options, all optional):
//   size             bytes of the image file (sparse); 0 picks one large enough for `fs`
//   fs               "ext2", "ext3", "ext4", "xfs", "btrfs", "vfat", or "" for no filesystem
//   partition_start  0 for a bare disk; else a DOS partition table is written with one partition
//                    starting at this sector and reaching the end, added with partx (the kernel
//                    parses no tables itself)
//   partition_number the partition that holds the filesystem (default 1); the ones before it are
//                    1 MiB each at 2048 × their number, so partition_start must lie past them
//   mount            mount device() on a private directory (ignored without `fs`; vfat can't be
//                    mounted by this kernel, so leave it false there)
//   mkfs_options     more options for mkfs, such as "-m dup -d dup" for btrfs
//
// The destructor undoes everything in reverse order, also after a failed set-up: the mount is
// unmounted (lazily when busy), the partition is deleted, the loop device is
// detached, and the image file and the private directory are removed. It never removes anything
// recursively, so a mount that could not be undone cannot lose data.
#pragma once

#include <cstdint>
#include <string>

namespace qvtest {

struct loop_image_options {
    std::uint64_t size = 0;
    std::string fs{};
    std::uint64_t partition_start = 0;
    unsigned partition_number = 1;
    bool mount = true;
    std::string mkfs_options{};  // added to the filesystem's mkfs command
};

class loop_image {
public:
    explicit loop_image(const loop_image_options &options);
    ~loop_image();
    loop_image(const loop_image &) = delete;
    loop_image &operator=(const loop_image &) = delete;

    bool ok() const { return error_.empty(); }
    // What failed during set-up, with the command's output.
    const std::string &error() const { return error_; }

    const std::string &image() const { return image_; }
    const std::string &disk() const { return disk_; }
    const std::string &device() const { return device_; }
    const std::string &mount_point() const { return mount_point_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    bool run(const std::string &command);
    void setup(const loop_image_options &options);

    std::string error_;
    std::string dir_;
    std::string image_;
    std::string disk_;
    std::string device_;
    std::string mount_point_;
    bool partition_added_ = false;
};

}  // namespace qvtest
