// SPDX-License-Identifier: GPL-2.0-or-later
// A device read in consecutive chunks, several of them in flight ahead of the one in use. A
// snapshot is served one request after another by whatever stands behind it; kept busy, it gives
// twice the rate or more. Direct, asynchronous reads where the device takes them, which also keep
// a backup from pushing the server's own data out of the page cache; else plain reads, one by one.
#pragma once

#include <linux/aio_abi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "block_io.h"
#include "repo.h"

namespace qvctl_cli {

class read_ahead {
public:
    // `fd` stays the caller's; it is read where direct reads are refused.
    read_ahead(int fd, std::uint64_t size, std::string what, std::uint64_t chunk_blocks, unsigned depth);
    ~read_ahead();
    read_ahead(const read_ahead &) = delete;
    read_ahead &operator=(const read_ahead &) = delete;

    // Blocks [first, first + count) from now on; what was read ahead of another range is dropped.
    void range(std::uint64_t first, std::uint64_t count);
    // The range's next chunk: its first block, its count and its bytes, zeros past the device's
    // end, valid until the next call. Null at the end of the range, or with the status set.
    const unsigned char *next(std::uint64_t &block, std::uint64_t &count, qvctl_status &st);

private:
    struct slot {
        std::unique_ptr<block_buffer> buf;
        std::uint64_t block = 0, count = 0;
        bool done = false;
        std::int64_t result = 0;
    };
    std::uint64_t length_of(const slot &s) const;
    void submit();
    bool reap(qvctl_status &st);
    void drop();
    int finish(slot &s, qvctl_status &st);

    int fd_;
    std::uint64_t size_;
    std::string what_;
    std::uint64_t chunk_;
    qv::unique_fd direct_;
    aio_context_t ctx_ = 0;
    std::vector<slot> slots_;
    std::size_t head_ = 0;  // the slot handed out next
    std::size_t queued_ = 0;
    std::uint64_t next_block_ = 0, end_ = 0;  // the next chunk to queue, the range's end
};

}  // namespace qvctl_cli
