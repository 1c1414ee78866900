// SPDX-License-Identifier: GPL-2.0-or-later
// Blocks as the repository handles them: read whole (the device's last block may be partial, and
// reads as if padded with zeros), told zero or not, checksummed, and written in runs, zeros as holes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "qvctl.h"
#include "unique_fd.h"

namespace qvctl_cli {

std::uint64_t block_sum(std::span<const unsigned char> block);
// The checksum of a block of zeros.
std::uint64_t zero_sum();
bool all_zero(std::span<const unsigned char> block);
// A checksum as the sums file holds it, and back: little-endian.
std::uint64_t little_endian(std::uint64_t v);

// A buffer of whole blocks, aligned for direct reads; its size fixed at construction.
class block_buffer {
public:
    explicit block_buffer(std::uint64_t blocks);
    ~block_buffer();
    block_buffer(const block_buffer &) = delete;
    block_buffer &operator=(const block_buffer &) = delete;
    unsigned char *data() { return data_; }
    std::span<const unsigned char> block(std::uint64_t i) const;
    std::span<unsigned char> block(std::uint64_t i);
    std::uint64_t blocks() const { return blocks_; }

private:
    unsigned char *data_ = nullptr;
    std::uint64_t blocks_ = 0;
};

// `count` blocks from block `first` of a file of `size` bytes, what lies beyond its end as zeros.
// `what` names the file in the message. 0 or the code.
int blocks_read(int fd, std::uint64_t size, std::uint64_t first, std::uint64_t count, unsigned char *out,
                const std::string &what, qvctl_status &st);
// Writes the blocks, cut at `size`; zeros as a hole where `holes` and the file allows, else written.
int blocks_write(int fd, std::uint64_t size, std::uint64_t first, std::uint64_t count, const unsigned char *data,
                 bool zeros, bool holes, const std::string &what, qvctl_status &st);
int data_pwrite(int fd, const void *data, std::size_t length, std::uint64_t offset, const std::string &what,
                qvctl_status &st);
int data_pread(int fd, void *data, std::size_t length, std::uint64_t offset, const std::string &what,
               qvctl_status &st);
int data_sync(int fd, const std::string &what, qvctl_status &st);

// Where the checksums are kept: reads hand back what there is (`got` short at the end).
struct sums_io {
    std::function<int(std::uint64_t offset, std::size_t length, void *out, std::size_t &got, qvctl_status &st)> read;
    std::function<int(std::uint64_t offset, std::size_t length, const void *data, qvctl_status &st)> write;
    std::function<int(qvctl_status &st)> sync;
};

// The repository's checksums: one little-endian u64 per block, read and written through a window
// of them, so that runs in ascending order cost one read and one write per window.
class sums_file {
public:
    sums_file(int fd, std::string what);
    sums_file(sums_io io, std::string what) : io_(std::move(io)), what_(std::move(what)) {}
    sums_file(const sums_file &) = delete;
    sums_file &operator=(const sums_file &) = delete;
    int get(std::uint64_t block, std::uint64_t &out, qvctl_status &st);
    int set(std::uint64_t block, std::uint64_t sum, qvctl_status &st);
    // The window's changes written out (and with `sync`, made durable).
    int flush(qvctl_status &st, bool sync = false);

private:
    int load(std::uint64_t block, qvctl_status &st);
    static constexpr std::uint64_t window = 1u << 17;  // sums, 1 MiB
    sums_io io_;
    std::string what_;
    std::vector<std::uint64_t> sums_;
    std::uint64_t first_ = 0, valid_ = 0;
    bool dirty_ = false, loaded_ = false;
};

}  // namespace qvctl_cli
