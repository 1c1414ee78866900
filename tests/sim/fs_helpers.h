// SPDX-License-Identifier: GPL-2.0-or-later
// Filesystems and files for the integration tests: a mount that undoes itself, a file's extents by
// FIEMAP, writes that reach the disk, whole files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "shell.h"
#include "unique_fd.h"

namespace simtest {

// `dev` mounted on `dir` (made when missing) with `options`; unmounted when the guard goes.
class mount_guard {
public:
    mount_guard(const std::string &dev, const std::string &dir, const std::string &options = "") : dir_(dir)
    {
        ::mkdir(dir.c_str(), 0755);
        auto r = qvtest::sh("mount " + (options.empty() ? "" : "-o " + options + " ") + dev + " " + dir);
        ok_ = r.status == 0;
        error_ = r.out;
    }
    ~mount_guard() { unmount(); }
    mount_guard(const mount_guard &) = delete;
    mount_guard &operator=(const mount_guard &) = delete;

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    void unmount()
    {
        if (ok_ && qvtest::sh("umount " + dir_).status != 0)
            qvtest::sh("umount -l " + dir_);
        ok_ = false;
    }

private:
    std::string dir_, error_;
    bool ok_ = false;
};

// The file's FIEMAP answer (after a sync of its data) as the raw block: a `fiemap` header and room
// for 4096 extents; no extents on failure.
inline std::vector<std::uint8_t> fiemap_of(const std::string &path)
{
    constexpr unsigned room = 4096;
    std::vector<std::uint8_t> buf(sizeof(fiemap) + room * sizeof(fiemap_extent));
    auto *fm = reinterpret_cast<fiemap *>(buf.data());
    fm->fm_length = ~0ull;
    fm->fm_flags = FIEMAP_FLAG_SYNC;
    fm->fm_extent_count = room;
    qv::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::ioctl(fd.get(), FS_IOC_FIEMAP, fm) != 0)
        fm->fm_mapped_extents = 0;
    return buf;
}

// Writes `data` at `offset` of `path` (created when missing) and syncs it.
inline bool write_file(const std::string &path, const std::string &data, off_t offset = 0, int flags = 0)
{
    qv::unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644));
    return fd && ::pwrite(fd.get(), data.data(), data.size(), offset) == static_cast<ssize_t>(data.size()) &&
           ::fsync(fd.get()) == 0;
}

// Writes 4 KiB blocks of `dev` filled with `fill`, their first 8 bytes `head` unless that is 0.
inline void write_blocks(const std::string &dev, const std::vector<std::uint64_t> &blocks, char fill = 'q',
                         std::uint64_t head = 0)
{
    qv::unique_fd fd(::open(dev.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    std::string data(4096, fill);
    if (head)
        std::memcpy(data.data(), &head, 8);
    for (auto b : blocks)
        ASSERT_EQ(::pwrite(fd.get(), data.data(), data.size(), static_cast<off_t>(b * 4096)), 4096) << b;
    ASSERT_EQ(::fsync(fd.get()), 0);
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// `length` bytes of `path` at `offset`; "<short read>" when they are not all there.
inline std::string read_at(const std::string &path, std::uint64_t offset, std::size_t length)
{
    std::string out(length, '\0');
    qv::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    bool whole = fd && ::pread(fd.get(), out.data(), length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
    return whole ? out : "<short read>";
}

// A pattern that differs at every offset and between seeds.
inline std::string pattern(std::size_t length, unsigned seed)
{
    std::string s(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        s[i] = static_cast<char>((i * 131 + i / 4096 * 7 + seed * 17) & 0xff);
    return s;
}

}  // namespace simtest
