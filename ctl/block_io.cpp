// SPDX-License-Identifier: GPL-2.0-or-later
#include "block_io.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "repo.h"

namespace qvctl_cli {

namespace {

constexpr std::size_t buffer_alignment = 4096;

}  // namespace

std::uint64_t little_endian(std::uint64_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        return __builtin_bswap64(v);
    return v;
}

std::uint64_t block_sum(std::span<const unsigned char> block) { return XXH3_64bits(block.data(), block.size()); }

std::uint64_t zero_sum()
{
    static const std::uint64_t sum = [] {
        static const unsigned char zeros[repo_block] = {};
        return block_sum(zeros);
    }();
    return sum;
}

bool all_zero(std::span<const unsigned char> block)
{
    return block.empty() || (block[0] == 0 && std::memcmp(block.data(), block.data() + 1, block.size() - 1) == 0);
}

block_buffer::block_buffer(std::uint64_t blocks) : blocks_(blocks)
{
    data_ = static_cast<unsigned char *>(std::aligned_alloc(buffer_alignment, blocks * repo_block));
    if (!data_)
        throw std::bad_alloc();
}

block_buffer::~block_buffer() { std::free(data_); }

std::span<const unsigned char> block_buffer::block(std::uint64_t i) const
{
    return {data_ + i * repo_block, repo_block};
}

std::span<unsigned char> block_buffer::block(std::uint64_t i) { return {data_ + i * repo_block, repo_block}; }

int data_pread(int fd, void *data, std::size_t length, std::uint64_t offset, const std::string &what,
               qvctl_status &st)
{
    auto *p = static_cast<unsigned char *>(data);
    while (length) {
        ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return qvctl_status_set(&st, errno, "ERROR: could not read %s at byte %llu: %s", what.c_str(),
                                    static_cast<unsigned long long>(offset), std::strerror(errno));
        if (n == 0)
            return qvctl_status_set(&st, EIO, "ERROR: %s ends at byte %llu, before the data it should hold",
                                    what.c_str(), static_cast<unsigned long long>(offset));
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return 0;
}

int data_pwrite(int fd, const void *data, std::size_t length, std::uint64_t offset, const std::string &what,
                qvctl_status &st)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (length) {
        ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return qvctl_status_set(&st, n < 0 ? errno : EIO, "ERROR: could not write %s at byte %llu: %s",
                                    what.c_str(), static_cast<unsigned long long>(offset),
                                    std::strerror(n < 0 ? errno : EIO));
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return 0;
}

int data_sync(int fd, const std::string &what, qvctl_status &st)
{
    if (::fdatasync(fd) == 0)
        return 0;
    return qvctl_status_set(&st, errno, "ERROR: could not put %s on the disk: %s", what.c_str(), std::strerror(errno));
}

int blocks_read(int fd, std::uint64_t size, std::uint64_t first, std::uint64_t count, unsigned char *out,
                const std::string &what, qvctl_status &st)
{
    const std::uint64_t offset = first * repo_block;
    const std::uint64_t wanted = count * repo_block;
    const std::uint64_t there = offset >= size ? 0 : std::min(wanted, size - offset);
    if (int r = data_pread(fd, out, there, offset, what, st))
        return r;
    std::memset(out + there, 0, wanted - there);
    return 0;
}

int blocks_write(int fd, std::uint64_t size, std::uint64_t first, std::uint64_t count, const unsigned char *data,
                 bool zeros, bool holes, const std::string &what, qvctl_status &st)
{
    const std::uint64_t offset = first * repo_block;
    if (offset >= size)
        return 0;
    const std::uint64_t length = std::min(count * repo_block, size - offset);
    if (zeros && holes &&
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length)) == 0)
        return 0;
    return data_pwrite(fd, data, length, offset, what, st);
}

sums_file::sums_file(int fd, std::string what) : what_(std::move(what))
{
    io_.read = [fd, this](std::uint64_t offset, std::size_t length, void *out, std::size_t &got, qvctl_status &st) {
        got = 0;
        while (got < length) {
            ssize_t n = ::pread(fd, static_cast<char *>(out) + got, length - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return qvctl_status_set(&st, errno, "ERROR: could not read %s: %s", what_.c_str(), std::strerror(errno));
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return 0;
    };
    io_.write = [fd, this](std::uint64_t offset, std::size_t length, const void *data, qvctl_status &st) {
        return data_pwrite(fd, data, length, offset, what_, st);
    };
    io_.sync = [fd, this](qvctl_status &st) { return data_sync(fd, what_, st); };
}

int sums_file::load(std::uint64_t block, qvctl_status &st)
{
    if (int r = flush(st))
        return r;
    first_ = block - block % window;
    sums_.assign(window, 0);
    std::size_t got = 0;
    if (int r = io_.read(first_ * sizeof(std::uint64_t), window * sizeof(std::uint64_t), sums_.data(), got, st))
        return r;
    valid_ = got / sizeof(std::uint64_t);
    loaded_ = true;
    for (auto &s : sums_)
        s = little_endian(s);
    return 0;
}

int sums_file::get(std::uint64_t block, std::uint64_t &out, qvctl_status &st)
{
    if (!loaded_ || block < first_ || block >= first_ + window)
        if (int r = load(block, st))
            return r;
    if (block - first_ >= valid_)
        return qvctl_status_set(&st, EIO, "ERROR: %s holds no checksum for block %llu", what_.c_str(),
                                static_cast<unsigned long long>(block));
    out = sums_[block - first_];
    return 0;
}

int sums_file::set(std::uint64_t block, std::uint64_t sum, qvctl_status &st)
{
    if (!loaded_ || block < first_ || block >= first_ + window)
        if (int r = load(block, st))
            return r;
    sums_[block - first_] = sum;
    valid_ = std::max(valid_, block - first_ + 1);
    dirty_ = true;
    return 0;
}

int sums_file::flush(qvctl_status &st, bool sync)
{
    if (dirty_) {
        std::vector<std::uint64_t> out(sums_.begin(), sums_.begin() + static_cast<std::ptrdiff_t>(valid_));
        for (auto &s : out)
            s = little_endian(s);
        if (int r = io_.write(first_ * sizeof(std::uint64_t), out.size() * sizeof(std::uint64_t), out.data(), st))
            return r;
        dirty_ = false;
    }
    return sync ? io_.sync(st) : 0;
}

}  // namespace qvctl_cli
