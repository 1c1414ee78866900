// SPDX-License-Identifier: GPL-2.0-or-later
// A backup's store as an image in Ceph: blocks that are not zeros written through many requests in
// flight, blocks that became zeros discarded, and each point sealed as a snapshot of the image and
// of its checksums before the manifest records it. A copy that fails is undone by rolling both back
// to the last point's snapshots; the mark set before the first write tells the next run to do so
// when this one could not.
#include <cstring>
#include <system_error>
#include <thread>

#include "backup.h"
#include "backup_store.h"
#include "rbd_repo.h"
#include "read_ahead.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

constexpr std::uint64_t chunk_blocks = 1024;  // 4 MiB, an RBD object
constexpr std::size_t in_flight = 16;
constexpr unsigned reads_in_flight = 4;

int interrupted(qvctl_status &st)
{
    if (int sig = snap_interrupt_signal())
        return qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d", sig);
    return 0;
}

// Writes the blocks of `data` (blocks [first, first + n) of the image) that `patch` selects, runs
// of data in one write, runs of zeros zeroed out, which deallocates them (or skipped, where the
// image holds nothing yet).
class block_writer {
public:
    block_writer(rbd_pipe &pipe, sums_file &sums, std::uint64_t size) : pipe_(pipe), sums_(sums), size_(size) {}

    template <class Select>
    int write(std::uint64_t first, std::uint64_t n, const unsigned char *data, bool zero_out, Select &&patch,
              qvctl_status &st)
    {
        for (std::uint64_t i = 0, j; i < n; i = j) {
            const unsigned char *block = data + i * repo_block;
            const bool zero = all_zero({block, repo_block});
            const std::uint64_t sum = zero ? zero_sum() : block_sum({block, repo_block});
            bool wanted = false;
            if (int c = patch(first + i, sum, wanted, st))
                return c;
            j = i + 1;
            if (!wanted)
                continue;
            if (int c = sums_.set(first + i, sum, st))
                return c;
            // The run goes on while the blocks are wanted and alike: all zeros or all data.
            for (; j < n; ++j) {
                const unsigned char *next = data + j * repo_block;
                const bool z = all_zero({next, repo_block});
                if (z != zero)
                    break;
                const std::uint64_t s = z ? zero_sum() : block_sum({next, repo_block});
                bool w = false;
                if (int c = patch(first + j, s, w, st))
                    return c;
                if (!w)
                    break;
                if (int c = sums_.set(first + j, s, st))
                    return c;
            }
            const std::uint64_t offset = (first + i) * repo_block;
            const std::uint64_t length = std::min((j - i) * repo_block, size_ - offset);
            counts.blocks += j - i;
            if (zero && !zero_out)
                continue;
            if (int c = zero ? pipe_.zero(offset, length, st) : pipe_.write(offset, length, block, st))
                return c;
            if (!zero)
                counts.bytes += length;
            // A block that did not join the run is looked at again as the start of the next one.
        }
        return 0;
    }

    patch_counts counts;

private:
    rbd_pipe &pipe_;
    sums_file &sums_;
    std::uint64_t size_;
};

// Blocks [first, first + count) of the snapshot, read ahead of the chunk being handed to `writer`,
// which is written while the next ones are read.
template <class Select>
int snapshot_walk(const copy_source &src, read_ahead &reader, rbd_pipe &pipe, block_writer &writer,
                  std::uint64_t first, std::uint64_t count, bool zero_out, Select &&select, qvctl_status &st)
{
    reader.range(first, count);
    for (;;) {
        if (int c = interrupted(st))
            return c;
        std::uint64_t b = 0, n = 0;
        const unsigned char *data = reader.next(b, n, st);
        if (!data)
            return st.code;
        if (int c = pipe.turn(st))
            return c;
        if (int c = writer.write(b, n, data, zero_out, select, st))
            return c;
        if (src.progress)
            src.progress->add(n);
    }
}

class rbd_patcher final : public block_patcher {
public:
    rbd_patcher(const copy_source &src, rbd_image &head, sums_file &sums)
        : src_(src), sums_(sums), reader_(src.fd, src.size, src.name, chunk_blocks, reads_in_flight),
          pipe_(head, in_flight, 0), writer_(pipe_, sums, src.size)
    {
    }

    int listed(std::uint64_t first, std::uint64_t count, qvctl_status &st) override
    {
        auto every = [](std::uint64_t, std::uint64_t, bool &wanted, qvctl_status &) { return wanted = true, 0; };
        return walk(first, count, every, st);
    }

    int resync(qvctl_status &st) override
    {
        auto changed = [&](std::uint64_t block, std::uint64_t sum, bool &wanted, qvctl_status &ws) {
            std::uint64_t kept = 0;
            if (int c = sums_.get(block, kept, ws))
                return c;
            wanted = kept != sum;
            differing_ += wanted;
            return 0;
        };
        return walk(0, blocks_of(src_.size / 512), changed, st);
    }

    int finish(qvctl_status &st) override
    {
        if (int c = pipe_.drain(st))
            return c;
        return sums_.flush(st, true);
    }

    int matches(std::uint64_t block, bool &same, qvctl_status &st) override
    {
        block_buffer one(1);
        if (int c = blocks_read(src_.fd, src_.size, block, 1, one.data(), src_.name, st))
            return c;
        std::uint64_t kept = 0;
        if (int c = sums_.get(block, kept, st))
            return c;
        same = kept == block_sum(one.block(0));
        return 0;
    }

    patch_counts counts() const override { return writer_.counts; }
    std::uint64_t differing() const override { return differing_; }

private:
    template <class Select> int walk(std::uint64_t first, std::uint64_t count, Select &&select, qvctl_status &st)
    {
        return snapshot_walk(src_, reader_, pipe_, writer_, first, count, true, select, st);
    }

    const copy_source &src_;
    sums_file &sums_;
    read_ahead reader_;
    rbd_pipe pipe_;
    block_writer writer_;
    std::uint64_t differing_ = 0;
};

class ceph final : public backup_store {
public:
    explicit ceph(const backup_request &req) : req_(req) {}

    chain_points &chain() override { return r_; }

    int open(qvctl_status &st) override
    {
        static const ceph_options defaults;
        return r_.open(req_.repo, req_.ceph ? *req_.ceph : defaults, repo_access::create, st);
    }

    // The mark of a copy in progress goes once the record of its point is written.
    bool save(qvctl_status &st) override
    {
        if (!r_.save(st))
            return false;
        if (dirty_ && !r_.records.empty() && r_.records.back().result == "succeeded") {
            qvctl_status ignored{};
            dirty_ = r_.dirty(false, ignored) != 0;
        }
        return true;
    }

    int prepare(bool, qvctl_status &st) override
    {
        if (int c = r_.dirty(true, st))
            return c;
        dirty_ = true;
        return 0;
    }

    int copy_base(const copy_source &src, patch_counts &counts, qvctl_status &st) override
    {
        // A base starts from an empty image: what a failed base wrote goes with a shrink to nothing.
        for (auto [image, bytes] : {std::pair{&r_.head, src.size}, std::pair{&r_.sums, rbd_sums_bytes(src.size)}}) {
            std::uint64_t now = 0;
            if (int c = image->size(now, st))
                return c;
            if (now && image->resize(0, st))
                return st.code;
            if (int c = image->resize(bytes, st))
                return c;
        }
        sums_file sums(rbd_repo::sums_of(r_.sums, rbd_sums_bytes(src.size)), r_.label + " (checksums)");
        rbd_pipe pipe(r_.head, in_flight, 0);
        block_writer writer(pipe, sums, src.size);
        auto every = [](std::uint64_t, std::uint64_t, bool &wanted, qvctl_status &) { return wanted = true, 0; };
        read_ahead reader(src.fd, src.size, src.name, chunk_blocks, reads_in_flight);
        if (int c = snapshot_walk(src, reader, pipe, writer, 0, blocks_of(src.size / 512), false, every, st))
            return c;
        if (int c = pipe.drain(st))
            return c;
        if (int c = sums.flush(st, true))
            return c;
        counts = writer.counts;
        base_bytes_ = counts.bytes + rbd_sums_bytes(src.size);
        return 0;
    }

    int copy_later(const copy_source &src, std::uint64_t, bool, const std::function<int(block_patcher &)> &walk,
                   patch_counts &counts, std::uint64_t &differing, std::uint64_t &disk_bytes,
                   qvctl_status &st) override
    {
        sums_file sums(rbd_repo::sums_of(r_.sums, rbd_sums_bytes(src.size)), r_.label + " (checksums)");
        rbd_patcher p(src, r_.head, sums);
        int c = walk(p);
        if (!c)
            c = p.finish(st);
        counts = p.counts();
        differing = p.differing();
        disk_bytes = counts.bytes;
        return c;
    }

    std::uint64_t base_disk_bytes() override { return base_bytes_; }

    int compare(const copy_source &src, std::uint64_t &differing, std::uint64_t &sector, qvctl_status &st) override
    {
        sums_file sums(rbd_repo::sums_of(r_.sums, rbd_sums_bytes(src.size)), r_.label + " (checksums)");
        block_buffer mine(chunk_blocks), theirs(chunk_blocks);
        const std::uint64_t blocks = blocks_of(src.size / 512);
        for (std::uint64_t b = 0; b < blocks; b += chunk_blocks) {
            const std::uint64_t n = std::min(chunk_blocks, blocks - b);
            const std::uint64_t offset = b * repo_block, length = std::min(n * repo_block, src.size - offset);
            std::memset(mine.data(), 0, n * repo_block);
            if (int c = r_.head.read(offset, length, mine.data(), st))
                return c;
            if (int c = blocks_read(src.fd, src.size, b, n, theirs.data(), src.name, st))
                return c;
            for (std::uint64_t i = 0; i < n; ++i) {
                std::uint64_t kept = 0;
                if (int c = sums.get(b + i, kept, st))
                    return c;
                const bool same = std::memcmp(mine.block(i).data(), theirs.block(i).data(), repo_block) == 0 &&
                                  kept == block_sum(mine.block(i));
                if (!same && !differing++)
                    sector = (b + i) * repo_block_sectors;
            }
        }
        return 0;
    }

    // Each snapshot takes an id from the monitors, which gather requests into proposals a second
    // apart: asked for together, both go in one.
    int seal(std::uint64_t number, qvctl_status &st) override
    {
        const std::string name = rbd_repo::snap(number);
        auto snap = [&name](rbd_image &image, qvctl_status &s) { return image.flush(s) || image.snap_create(name, s); };
        qvctl_status sums_st{};
        std::thread sums;
        try {
            sums = std::thread([&] { snap(r_.sums, sums_st); });
        } catch (const std::system_error &) {
            snap(r_.sums, sums_st);
        }
        snap(r_.head, st);
        if (sums.joinable())
            sums.join();
        if (!st.code && sums_st.code)
            st = sums_st;
        return st.code;
    }

    bool undo(qvctl_status &st) override
    {
        if (!dirty_)
            return true;
        if (const chain_record *l = r_.latest(); l && r_.rollback(l->point, st))
            return false;
        if (r_.stray_snaps_remove(st) || r_.dirty(false, st))
            return false;
        dirty_ = false;
        return true;
    }

    std::string image_name() const override { return r_.label; }

private:
    const backup_request &req_;
    rbd_repo r_;
    bool dirty_ = false;
    std::uint64_t base_bytes_ = 0;
};

}  // namespace

std::unique_ptr<backup_store> ceph_store(const backup_request &req) { return std::make_unique<ceph>(req); }

}  // namespace qvctl_cli
