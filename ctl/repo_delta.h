// SPDX-License-Identifier: GPL-2.0-or-later
// A point's delta: `N.map`, a header and one record per block (its sector, where its content lies
// in `N.data` or that it was zeros, and its checksum), each record under its own CRC; `N.data`,
// the blocks that were not zeros, back to back. A block appears at most once in a delta.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "qvctl.h"
#include "unique_fd.h"

namespace qvctl_cli {

struct repo;

// Bytes of one record in N.map.
constexpr std::uint64_t delta_record_size = 32;

struct delta_entry {
    std::uint64_t sector = 0;
    bool zero = false;
    std::uint64_t data_index = 0;  // block of N.data holding the content, when not zero
    std::uint64_t sum = 0;
};

// Appends entries; nothing counts as saved until flush() has made the data and then the records
// durable, in that order, so that every record found after a crash has its data on the disk.
class delta_writer {
public:
    int create(repo &r, std::uint64_t point, std::uint64_t sectors);
    // `content` is the block's old content (ignored when zero).
    void add(std::uint64_t sector, std::span<const unsigned char> content, bool zero, std::uint64_t sum);
    int flush(qvctl_status &st);
    std::uint64_t blocks() const { return blocks_; }
    std::uint64_t data_blocks() const { return data_blocks_; }

private:
    qv::unique_fd map_, data_;
    std::string map_name_, data_name_;
    std::vector<unsigned char> pending_data_, pending_records_;
    std::uint64_t blocks_ = 0, data_blocks_ = 0, map_size_ = 0;
};

// Reads a delta: its header checked against the point and the device's size, its records handed
// to `each` in order, each under its CRC. A pending delta (an interrupted run's) ends at its first
// torn record; in a finished one any damaged record is an error. Every data index is checked to
// lie inside N.data.
struct delta_reader {
    qv::unique_fd map, data;
    std::string map_name, data_name;
    std::uint64_t records = 0, data_blocks = 0;

    int open(const repo &r, std::uint64_t point, std::uint64_t sectors, qvctl_status &st);
    int each(bool pending, const std::function<int(const delta_entry &)> &fn, qvctl_status &st);
    // Up to read_records entries from record `first` on (a pending delta's torn tail ends it).
    int read(std::uint64_t first, bool pending, std::vector<delta_entry> &out, qvctl_status &st);
    static constexpr std::uint64_t read_records = 4096;
    // The content of an entry, checked against its checksum (a zero entry reads as zeros).
    int content(const delta_entry &e, std::uint64_t point, std::span<unsigned char> out, qvctl_status &st);
};

}  // namespace qvctl_cli
