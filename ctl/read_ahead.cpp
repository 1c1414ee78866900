// SPDX-License-Identifier: GPL-2.0-or-later
#include "read_ahead.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qvctl_cli {

namespace {

long aio_setup(unsigned n, aio_context_t *ctx) { return ::syscall(SYS_io_setup, n, ctx); }
long aio_destroy(aio_context_t ctx) { return ::syscall(SYS_io_destroy, ctx); }
long aio_submit(aio_context_t ctx, long n, iocb **cbs) { return ::syscall(SYS_io_submit, ctx, n, cbs); }
long aio_events(aio_context_t ctx, long min, long max, io_event *out)
{
    return ::syscall(SYS_io_getevents, ctx, min, max, out, nullptr);
}

}  // namespace

read_ahead::read_ahead(int fd, std::uint64_t size, std::string what, std::uint64_t chunk_blocks, unsigned depth)
    : fd_(fd), size_(size), what_(std::move(what)), chunk_(chunk_blocks), slots_(depth ? depth : 1)
{
    // Opened anew rather than switched with F_SETFL: the caller's descriptor keeps its own reads.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    direct_.reset(::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (direct_ && slots_.size() > 1 && aio_setup(static_cast<unsigned>(slots_.size()), &ctx_) != 0)
        ctx_ = 0;
    for (slot &s : slots_)
        s.buf = std::make_unique<block_buffer>(chunk_);
}

read_ahead::~read_ahead()
{
    // Waits for the reads still in flight, which write into the buffers freed after it.
    if (ctx_)
        aio_destroy(ctx_);
}

std::uint64_t read_ahead::length_of(const slot &s) const
{
    const std::uint64_t offset = s.block * repo_block;
    return offset >= size_ ? 0 : std::min(s.count * repo_block, size_ - offset);
}

void read_ahead::submit()
{
    std::vector<iocb> cbs;
    cbs.reserve(slots_.size());
    for (; queued_ < slots_.size() && next_block_ < end_; ++queued_) {
        slot &s = slots_[(head_ + queued_) % slots_.size()];
        s.block = next_block_;
        s.count = std::min(chunk_, end_ - next_block_);
        next_block_ += s.count;
        s.done = false;
        s.result = 0;
        if (!length_of(s)) {
            s.done = true;
            continue;
        }
        iocb cb{};
        cb.aio_lio_opcode = IOCB_CMD_PREAD;
        cb.aio_fildes = static_cast<std::uint32_t>(direct_.get());
        cb.aio_buf = reinterpret_cast<std::uintptr_t>(s.buf->data());
        cb.aio_nbytes = length_of(s);
        cb.aio_offset = static_cast<std::int64_t>(s.block * repo_block);
        cb.aio_data = static_cast<std::uint64_t>(&s - slots_.data());
        cbs.push_back(cb);
    }
    std::vector<iocb *> ptrs;
    for (iocb &cb : cbs)
        ptrs.push_back(&cb);
    std::size_t sent = 0;
    while (sent < ptrs.size()) {
        const long n = aio_submit(ctx_, static_cast<long>(ptrs.size() - sent), ptrs.data() + sent);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    // What the kernel would not take is read in place when its turn comes.
    for (std::size_t i = sent; i < cbs.size(); ++i) {
        slots_[cbs[i].aio_data].done = true;
        slots_[cbs[i].aio_data].result = -EAGAIN;
    }
}

bool read_ahead::reap(qvctl_status &st)
{
    io_event events[16];
    const long max = static_cast<long>(std::min<std::size_t>(slots_.size(), std::size(events)));
    const long n = aio_events(ctx_, 1, max, events);
    if (n < 0 && errno == EINTR)
        return true;
    if (n < 0)
        return qvctl_status_set(&st, errno, "ERROR: could not wait for the reads of %s: %s", what_.c_str(),
                                std::strerror(errno)),
               false;
    for (long i = 0; i < n; ++i) {
        if (events[i].data >= slots_.size())
            continue;
        slot &s = slots_[events[i].data];
        s.done = true;
        s.result = events[i].res;
    }
    return true;
}

void read_ahead::drop()
{
    for (std::size_t i = 0; i < queued_; ++i) {
        qvctl_status ignored{};
        while (!slots_[(head_ + i) % slots_.size()].done)
            if (!reap(ignored)) {
                // Reads that cannot be waited for one by one are waited for all at once.
                aio_destroy(ctx_);
                ctx_ = 0;
                queued_ = 0;
                return;
            }
    }
    queued_ = 0;
}

void read_ahead::range(std::uint64_t first, std::uint64_t count)
{
    if (ctx_)
        drop();
    next_block_ = first;
    end_ = first + count;
}

// A read that failed or fell short, or was never sent, is done again plainly: a device that takes
// no direct reads of some length goes on at the plain rate, and a real fault gets its message.
int read_ahead::finish(slot &s, qvctl_status &st)
{
    const std::uint64_t length = length_of(s);
    if (s.result >= 0 && static_cast<std::uint64_t>(s.result) == length) {
        std::memset(s.buf->data() + length, 0, s.count * repo_block - length);
        return 0;
    }
    return blocks_read(fd_, size_, s.block, s.count, s.buf->data(), what_, st);
}

// The chunk handed out last is free again: the caller is done with it once it asks for the next.
const unsigned char *read_ahead::next(std::uint64_t &block, std::uint64_t &count, qvctl_status &st)
{
    if (!ctx_) {
        if (next_block_ >= end_)
            return nullptr;
        slot &s = slots_[0];
        s.block = next_block_;
        s.count = std::min(chunk_, end_ - next_block_);
        qvctl_status refused{};
        if ((!direct_ || blocks_read(direct_.get(), size_, s.block, s.count, s.buf->data(), what_, refused)) &&
            blocks_read(fd_, size_, s.block, s.count, s.buf->data(), what_, st))
            return nullptr;
        next_block_ += s.count;
        block = s.block;
        count = s.count;
        return s.buf->data();
    }
    submit();
    if (!queued_)
        return nullptr;
    slot &s = slots_[head_];
    while (!s.done)
        if (!reap(st))
            return nullptr;
    if (finish(s, st))
        return nullptr;
    head_ = (head_ + 1) % slots_.size();
    --queued_;
    block = s.block;
    count = s.count;
    return s.buf->data();
}

}  // namespace qvctl_cli
