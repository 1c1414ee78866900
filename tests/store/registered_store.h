// SPDX-License-Identifier: GPL-2.0-or-later
// Registered stores proved from the outside: store files filled with a recognisable pattern, and
// the sectors that the stand-in holds for a store read back from the whole disk and compared with
// the file as the filesystem reads it.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qvctl_internal.h"
#include "heap_block.h"
#include "store_test_util.h"
#include "unique_fd.h"

namespace storetest {

// Every 8 bytes name the store and their own offset, so that a sector found in the wrong place shows.
inline void fill_pattern(const std::string &path, uint64_t tag)
{
    qv::unique_fd fd(open(path.c_str(), O_WRONLY));
    ASSERT_TRUE(fd) << path;
    std::vector<uint64_t> buf(1 << 16);
    for (off_t pos = 0, size = size_of(path); pos < size; pos += off_t(buf.size() * 8)) {
        for (std::size_t i = 0; i < buf.size(); ++i)
            buf[i] = (tag << 56) | (uint64_t(pos) + 8 * i);
        std::size_t len = std::min<off_t>(size - pos, off_t(buf.size() * 8));
        ASSERT_EQ(pwrite(fd.get(), buf.data(), len, pos), ssize_t(len));
    }
    ASSERT_EQ(fsync(fd.get()), 0);
}

// `len` bytes from byte `at` of a disk opened with O_DIRECT (around every cache); "" when the read
// fails.
inline std::string direct_read(int fd, uint64_t at, std::size_t len)
{
    qv::heap_block buf(static_cast<uint8_t *>(std::aligned_alloc(4096, (len + 4095) / 4096 * 4096)));
    if (!buf || pread(fd, buf.get(), len, off_t(at)) != ssize_t(len))
        return "";
    return std::string(reinterpret_cast<const char *>(buf.get()), len);
}

// The bytes of the registered extents, read around every cache from the whole disk.
inline std::string registered_bytes(const std::string &disk, const store_extent_list &list)
{
    std::string out;
    qv::unique_fd fd(open(disk.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    for (uint64_t i = 0; fd && i < list.count; ++i) {
        const std::string part = direct_read(fd.get(), list.extents[i].start * 512, list.extents[i].count * 512);
        out += part.empty() ? "<read failed>" : part;
    }
    return out;
}

inline std::string whole_disk(const std::string &dev)
{
    auto p = dev.rfind('p');
    return dev.compare(0, 9, "/dev/loop") == 0 && p > 8 ? dev.substr(0, p) : dev;
}

inline void expect_registered_as_file(const std::string &dev, uint32_t kind, const std::string &path)
{
    qvctl_status st{};
    store_extent_list *list = qvctl_store_extents_get(dev.c_str(), kind, &st);
    ASSERT_NE(list, nullptr) << st.message;
    uint64_t sectors = 0;
    for (uint64_t i = 0; i < list->count; ++i)
        sectors += list->extents[i].count;
    EXPECT_EQ(sectors * 512, uint64_t(size_of(path))) << path;
    std::string disk = registered_bytes(whole_disk(dev), *list);
    qvctl_store_extents_free(list);
    EXPECT_TRUE(disk == read_all(path)) << path << ": registered sectors differ from the file";
}

}  // namespace storetest
