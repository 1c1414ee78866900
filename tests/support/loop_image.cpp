// SPDX-License-Identifier: GPL-2.0-or-later
#include "loop_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "shell.h"

namespace qvtest {

namespace {

struct fs_tool {
    const char *mkfs;
    std::uint64_t min_size;
};

const std::map<std::string, fs_tool> fs_tools = {
    {"ext2", {"mkfs.ext2 -q -F", 64ull << 20}},     {"ext3", {"mkfs.ext3 -q -F", 64ull << 20}},
    {"ext4", {"mkfs.ext4 -q -F", 64ull << 20}},     {"xfs", {"mkfs.xfs -q -f", 320ull << 20}},
    {"btrfs", {"mkfs.btrfs -q -f", 160ull << 20}},  {"vfat", {"mkfs.vfat", 64ull << 20}},
};

}  // namespace

loop_image::loop_image(const loop_image_options &options) { setup(options); }

bool loop_image::run(const std::string &command)
{
    run_result r = sh(command);
    if (r.status == 0)
        return true;
    if (error_.empty())
        error_ = command + " failed (" + std::to_string(r.status) + "): " + r.out;
    return false;
}

void loop_image::setup(const loop_image_options &o)
{
    char tmpl[] = "/tmp/qvloop.XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = tmpl;

    auto tool = fs_tools.find(o.fs);
    if (!o.fs.empty() && tool == fs_tools.end()) {
        error_ = "unknown filesystem " + o.fs;
        return;
    }
    std::uint64_t size = o.size;
    if (size == 0)
        size = (tool == fs_tools.end() ? 64ull << 20 : tool->second.min_size) + o.partition_start * 512;

    image_ = dir_ + "/image";
    if (!run("truncate -s " + std::to_string(size) + " " + image_))
        return;
    std::string table = "label: dos\\n";
    for (unsigned i = 1; i < o.partition_number; ++i)
        table += "start=" + std::to_string(2048 * i) + ", size=2048, type=83\\n";
    table += "start=" + std::to_string(o.partition_start) + ", type=83\\n";
    if (o.partition_start && !run("printf '" + table + "' | sfdisk -q " + image_))
        return;

    run_result r = sh("losetup --find --show " + image_);
    if (r.status != 0) {
        error_ = "losetup failed: " + r.out;
        return;
    }
    disk_ = trimmed(r.out);
    disk_ = disk_.substr(disk_.find_last_of('\n') + 1);  // losetup may warn before it names the device
    if (disk_.rfind("/dev/loop", 0) != 0) {
        error_ = "losetup named no loop device: " + r.out;
        disk_.clear();
        return;
    }
    device_ = disk_;
    if (o.partition_start) {
        if (!run("partx -a " + disk_))
            return;
        partition_added_ = true;
        device_ = disk_ + "p" + std::to_string(o.partition_number);
        if (!run("for i in $(seq 50); do [ -b " + device_ + " ] && exit 0; sleep 0.1; done; exit 1"))
            return;
    }
    if (o.fs.empty() || !run(std::string(tool->second.mkfs) + " " + o.mkfs_options + " " + device_ + " >/dev/null"))
        return;
    if (!o.mount)
        return;
    const std::string mnt = dir_ + "/mnt";
    if (::mkdir(mnt.c_str(), 0755) != 0)
        error_ = "cannot make " + mnt;
    else if (run("mount " + device_ + " " + mnt))
        mount_point_ = mnt;
}

loop_image::~loop_image()
{
    if (!mount_point_.empty() && sh("umount " + mount_point_).status != 0)
        sh("umount -l " + mount_point_);
    if (partition_added_)
        sh("partx -d " + disk_);
    if (!disk_.empty())
        sh("losetup -d " + disk_);
    if (!image_.empty())
        ::unlink(image_.c_str());
    if (!dir_.empty())
        sh("rmdir " + dir_ + "/mnt 2>/dev/null; "
           "find " + dir_ + " -xdev -maxdepth 1 \\( -type l -o -type f \\) -delete; rmdir " + dir_);
}

}  // namespace qvtest
