// SPDX-License-Identifier: GPL-2.0-or-later
#include "repo_patch.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <thread>

#include "repo.h"
#include "repo_delta.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

constexpr std::uint64_t batch_blocks = 2048;  // 8 MiB of new and 8 MiB of old content
constexpr std::uint64_t read_blocks = 1024;   // 4 MiB per read of the snapshot

int interrupted(qvctl_status &st)
{
    if (int sig = snap_interrupt_signal())
        return qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d", sig);
    return 0;
}

// Runs of consecutive blocks in `blocks` (ascending), each handed as [i, j).
template <class F> int runs_of(const std::vector<std::uint64_t> &blocks, F &&fn)
{
    for (std::size_t i = 0, j; i < blocks.size(); i = j) {
        for (j = i + 1; j < blocks.size() && blocks[j] == blocks[j - 1] + 1;)
            ++j;
        if (int r = fn(i, j))
            return r;
    }
    return 0;
}

int base_range(const patch_files &f, int sums_fd, const std::string &sums_name, std::uint64_t first,
               std::uint64_t last, patch_counts &out, qvctl_status &st)
{
    block_buffer buf(read_blocks);
    std::vector<std::uint64_t> sums(read_blocks);
    for (std::uint64_t b = first; b < last;) {
        if (int r = interrupted(st))
            return r;
        const std::uint64_t n = std::min(read_blocks, last - b);
        if (int r = blocks_read(f.snapshot, f.size, b, n, buf.data(), f.snapshot_name, st))
            return r;
        // Runs of blocks that are not zeros, each written in one call.
        for (std::uint64_t i = 0, j; i < n; i = j) {
            const bool zero = all_zero(buf.block(i));
            for (j = i + 1; j < n && all_zero(buf.block(j)) == zero;)
                ++j;
            for (std::uint64_t k = i; k < j; ++k)
                sums[k] = little_endian(zero ? zero_sum() : block_sum(buf.block(k)));
            if (zero)
                continue;
            if (int r = blocks_write(f.image, f.size, b + i, j - i, buf.block(i).data(), false, false, f.image_name,
                                     st))
                return r;
            out.bytes += std::min((j - i) * repo_block, f.size - (b + i) * repo_block);
        }
        if (int r = data_pwrite(sums_fd, sums.data(), n * sizeof(std::uint64_t), b * sizeof(std::uint64_t), sums_name,
                                st))
            return r;
        out.blocks += n;
        if (f.progress)
            f.progress->add(n);
        b += n;
    }
    return 0;
}

}  // namespace

int base_copy(const patch_files &f, int sums_fd, const std::string &sums_name, int workers, patch_counts &out,
              qvctl_status &st)
{
    const std::uint64_t blocks = blocks_of(f.size / 512);
    if (::ftruncate(f.image, 0) != 0 || ::ftruncate(f.image, static_cast<off_t>(f.size)) != 0 ||
        ::ftruncate(sums_fd, 0) != 0 || ::ftruncate(sums_fd, static_cast<off_t>(blocks * sizeof(std::uint64_t))) != 0)
        return qvctl_status_set(&st, errno, "ERROR: could not size %s: %s", f.image_name.c_str(), std::strerror(errno));
    const std::uint64_t n = std::clamp<std::uint64_t>(static_cast<std::uint64_t>(workers), 1, blocks ? blocks : 1);
    std::vector<patch_counts> counts(n);
    std::vector<qvctl_status> status(n);
    std::vector<int> codes(n, 0);
    std::vector<std::thread> threads;
    for (std::uint64_t w = 0; w < n; ++w)
        threads.emplace_back([&, w] {
            codes[w] = base_range(f, sums_fd, sums_name, blocks * w / n, blocks * (w + 1) / n, counts[w], status[w]);
        });
    for (auto &t : threads)
        t.join();
    for (std::uint64_t w = 0; w < n; ++w) {
        out.blocks += counts[w].blocks;
        out.bytes += counts[w].bytes;
    }
    for (std::uint64_t w = 0; w < n; ++w)
        if (codes[w]) {
            st = status[w];
            return codes[w];
        }
    if (int r = data_sync(f.image, f.image_name, st))
        return r;
    return data_sync(sums_fd, sums_name, st);
}

patcher::patcher(const patch_files &f, sums_file &sums, delta_writer &delta)
    : f_(f), sums_(sums), delta_(delta), fresh_(batch_blocks), old_(batch_blocks)
{
    blocks_.reserve(batch_blocks);
}

int patcher::add(std::uint64_t block, const unsigned char *content, qvctl_status &st)
{
    if (content)
        std::memcpy(fresh_.block(blocks_.size()).data(), content, repo_block);
    blocks_.push_back(block);
    return blocks_.size() == batch_blocks ? flush(st) : 0;
}

int patcher::listed(std::uint64_t first, std::uint64_t count, qvctl_status &st)
{
    const std::uint64_t blocks = blocks_of(f_.size / 512);
    if (first > blocks || count > blocks - first)
        return qvctl_status_set(&st, EPROTO,
                                "ERROR: the changelog lists %llu blocks from sector %llu, beyond the %llu blocks of %s",
                                static_cast<ull>(count), static_cast<ull>(first * repo_block_sectors),
                                static_cast<ull>(blocks), f_.snapshot_name.c_str());
    while (count) {
        // Read straight into the batch, behind what it already holds.
        const std::uint64_t n = std::min(count, batch_blocks - blocks_.size());
        if (int r = blocks_read(f_.snapshot, f_.size, first, n, fresh_.block(blocks_.size()).data(),
                                f_.snapshot_name, st))
            return r;
        for (std::uint64_t i = 0; i < n; ++i)
            if (int r = add(first + i, nullptr, st))
                return r;
        first += n;
        count -= n;
    }
    return 0;
}

int patcher::resync(qvctl_status &st)
{
    const std::uint64_t blocks = blocks_of(f_.size / 512);
    block_buffer scan(read_blocks);
    scanning_ = true;
    for (std::uint64_t b = 0; b < blocks;) {
        if (int r = interrupted(st))
            return r;
        const std::uint64_t n = std::min(read_blocks, blocks - b);
        if (int r = blocks_read(f_.snapshot, f_.size, b, n, scan.data(), f_.snapshot_name, st))
            return r;
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t kept = 0;
            if (int r = sums_.get(b + i, kept, st))
                return r;
            if (block_sum(scan.block(i)) == kept)
                continue;
            ++differing;
            if (int r = add(b + i, scan.block(i).data(), st))
                return r;
        }
        if (f_.progress)
            f_.progress->add(n);
        b += n;
    }
    scanning_ = false;
    return 0;
}

int patcher::flush(qvctl_status &st)
{
    if (blocks_.empty())
        return 0;
    if (int r = interrupted(st))
        return r;
    // The old content, read in runs, checked against its sums: a damaged image is never saved as
    // if it were a point's content.
    int r = runs_of(blocks_, [&](std::size_t i, std::size_t j) {
        return blocks_read(f_.image, f_.size, blocks_[i], j - i, old_.block(i).data(), f_.image_name, st);
    });
    if (r)
        return r;
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const auto old = old_.block(i);
        const std::uint64_t sum = block_sum(old);
        std::uint64_t kept = 0;
        if (int e = sums_.get(blocks_[i], kept, st))
            return e;
        if (sum != kept)
            return qvctl_status_set(&st, repo_damaged,
                                    "ERROR: %s: the block at sector %llu differs from its checksum, so the point it "
                                    "belongs to cannot be kept; run \"qvctl repo check\"",
                                    f_.image_name.c_str(), static_cast<ull>(blocks_[i] * repo_block_sectors));
        delta_.add(blocks_[i] * repo_block_sectors, old, all_zero(old), sum);
    }
    if (int e = delta_.flush(st))
        return e;
    // Saved and durable: now the image may change.
    r = runs_of(blocks_, [&](std::size_t i, std::size_t j) {
        for (std::size_t a = i, b; a < j; a = b) {
            const bool zero = all_zero(fresh_.block(a));
            for (b = a + 1; b < j && all_zero(fresh_.block(b)) == zero;)
                ++b;
            if (int e = blocks_write(f_.image, f_.size, blocks_[a], b - a, fresh_.block(a).data(), zero, true,
                                     f_.image_name, st))
                return e;
            if (!zero)
                counts_.bytes += std::min((b - a) * repo_block, f_.size - blocks_[a] * repo_block);
        }
        return 0;
    });
    if (r)
        return r;
    for (std::size_t i = 0; i < blocks_.size(); ++i)
        if (int e = sums_.set(blocks_[i], block_sum(fresh_.block(i)), st))
            return e;
    counts_.blocks += blocks_.size();
    if (f_.progress && !scanning_)
        f_.progress->add(blocks_.size());
    blocks_.clear();
    return 0;
}

int patcher::finish(qvctl_status &st)
{
    if (int r = flush(st))
        return r;
    if (int r = sums_.flush(st, true))
        return r;
    return data_sync(f_.image, f_.image_name, st);
}

int snapshot_block_matches(const patch_files &f, sums_file &sums, std::uint64_t block, bool &matches,
                           qvctl_status &st)
{
    block_buffer buf(1);
    if (int r = blocks_read(f.snapshot, f.size, block, 1, buf.data(), f.snapshot_name, st))
        return r;
    std::uint64_t kept = 0;
    if (int r = sums.get(block, kept, st))
        return r;
    matches = block_sum(buf.block(0)) == kept;
    return 0;
}

int image_compare(const patch_files &f, sums_file &sums, std::uint64_t first, std::uint64_t count,
                  std::uint64_t &differing, std::uint64_t &sector, qvctl_status &st)
{
    block_buffer a(read_blocks), b(read_blocks);
    while (count) {
        const std::uint64_t n = std::min(count, read_blocks);
        if (int r = blocks_read(f.snapshot, f.size, first, n, a.data(), f.snapshot_name, st))
            return r;
        if (int r = blocks_read(f.image, f.size, first, n, b.data(), f.image_name, st))
            return r;
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t kept = 0;
            if (int r = sums.get(first + i, kept, st))
                return r;
            if (std::memcmp(a.block(i).data(), b.block(i).data(), repo_block) == 0 && block_sum(b.block(i)) == kept)
                continue;
            if (!differing++)
                sector = (first + i) * repo_block_sectors;
        }
        first += n;
        count -= n;
    }
    return 0;
}

}  // namespace qvctl_cli
