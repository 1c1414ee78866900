// SPDX-License-Identifier: GPL-2.0-or-later
// Chunks read ahead come back in order, equal to the file and padded with zeros past its end,
// whether read directly and several at once or one by one; a range given mid-way drops what was
// read ahead of the old one; a file shorter than it should be fails with its name.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "read_ahead.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace {

using namespace qvctl_cli;

constexpr std::uint64_t chunk = 4;  // blocks

struct data_file {
    qvtest::temp_dir dir;
    std::vector<unsigned char> bytes;
    qv::unique_fd fd;

    explicit data_file(std::size_t size)
    {
        std::string path = dir.file("data");
        bytes.resize(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 7 + i / 4096 + 1);
        qv::unique_fd w(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        EXPECT_TRUE(w) << path;
        EXPECT_EQ(::pwrite(w.get(), bytes.data(), size, 0), static_cast<ssize_t>(size));
        fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    }

    // What a chunk from `block` of `count` blocks must hold.
    std::vector<unsigned char> expected(std::uint64_t block, std::uint64_t count) const
    {
        std::vector<unsigned char> out(count * repo_block, 0);
        const std::uint64_t offset = block * repo_block;
        if (offset < bytes.size())
            std::memcpy(out.data(), bytes.data() + offset, std::min<std::uint64_t>(out.size(), bytes.size() - offset));
        return out;
    }
};

// Every chunk of [first, first + count), checked; stops after `limit` chunks.
void walk(read_ahead &r, const data_file &f, std::uint64_t first, std::uint64_t count, std::uint64_t limit = ~0ull)
{
    r.range(first, count);
    std::uint64_t at = first;
    for (std::uint64_t k = 0; k < limit; ++k) {
        qvctl_status st{};
        std::uint64_t block = 0, n = 0;
        const unsigned char *data = r.next(block, n, st);
        if (!data) {
            EXPECT_EQ(st.code, 0) << st.message;
            EXPECT_EQ(at, first + count) << "the range ended early";
            return;
        }
        ASSERT_EQ(block, at);
        ASSERT_EQ(n, std::min(chunk, first + count - at));
        const std::vector<unsigned char> want = f.expected(block, n);
        ASSERT_EQ(std::memcmp(data, want.data(), want.size()), 0) << "chunk at block " << block;
        at += n;
    }
}

TEST(ReadAhead, ChunksInOrderEqualToTheFileWithZerosPastItsEnd)
{
    // 10 whole blocks and 512 bytes: the last direct read is of a length a device takes.
    for (std::size_t size : {std::size_t{10 * 4096 + 512}, std::size_t{10 * 4096 + 100}, std::size_t{4096}})
        for (unsigned depth : {1u, 4u}) {
            SCOPED_TRACE("size " + std::to_string(size) + ", depth " + std::to_string(depth));
            data_file f(size);
            ASSERT_TRUE(f.fd);
            read_ahead r(f.fd.get(), size, "data", chunk, depth);
            walk(r, f, 0, (size + 4095) / 4096);
            // Past the end of the file: zeros, not a failure.
            walk(r, f, 0, 16);
            // A range given before the last one ended drops what was read ahead of it.
            walk(r, f, 1, 9, 1);
            walk(r, f, 7, 5);
            walk(r, f, 2, 1);
            walk(r, f, 3, 0);
        }
}

TEST(ReadAhead, AFileShorterThanItsSizeFailsNamingIt)
{
    for (unsigned depth : {1u, 4u}) {
        data_file f(8 * 4096);
        read_ahead r(f.fd.get(), 16 * 4096, "the snapshot", chunk, depth);
        r.range(0, 16);
        qvctl_status st{};
        std::uint64_t block = 0, n = 0;
        const unsigned char *data = nullptr;
        while ((data = r.next(block, n, st)))
            ASSERT_LT(block, 8u);
        EXPECT_EQ(st.code, EIO);
        EXPECT_NE(std::string(st.message).find("the snapshot ends at byte 32768"), std::string::npos) << st.message;
    }
}

}  // namespace
