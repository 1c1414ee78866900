// SPDX-License-Identifier: GPL-2.0-or-later
#include "repo_read.h"

#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "block_io.h"
#include "progress_meter.h"
#include "repo_delta.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

constexpr std::uint64_t chunk_blocks = 1024;  // 4 MiB per read

int damaged_at(qvctl_status &st, std::uint64_t point, std::uint64_t sector)
{
    return qvctl_status_set(&st, repo_damaged, "ERROR: point %llu: the block at sector %llu differs from its checksum",
                            static_cast<ull>(point), static_cast<ull>(sector));
}

// A delta walked in step with the image, for a point restored in one pass: each of its blocks
// replaces the image's as the image's chunk holding it goes by, so every block is written once.
struct delta_cursor {
    delta_reader d;
    std::uint64_t point = 0, next = 0;  // the record the chunk begins after
    std::vector<delta_entry> chunk;
    std::size_t at = 0;

    int current(const delta_entry *&e, qvctl_status &st)
    {
        if (at == chunk.size()) {
            if (int r = d.read(next, false, chunk, st))
                return r;
            next += chunk.size();
            at = 0;
        }
        e = at < chunk.size() ? &chunk[at] : nullptr;
        return 0;
    }
};

// Whether every delta's records ascend, which a single pass needs; a delta whose backup went on
// as a resync after its changelog holds two ascending runs.
int ascending(delta_reader &d, bool &sorted, qvctl_status &st)
{
    sorted = true;
    std::uint64_t last = 0;
    bool first = true;
    return d.each(
        false,
        [&](const delta_entry &e) {
            sorted = sorted && (first || e.sector > last);
            first = false;
            last = e.sector;
            return 0;
        },
        st);
}

}  // namespace

const chain_record *point_find(const repo &r, std::uint64_t number, qvctl_status &st)
{
    return point_find(r, r.path, number, st);
}

const chain_record *point_find(const chain_points &r, const std::string &name, std::uint64_t number, qvctl_status &st)
{
    const chain_record *latest = r.latest();
    if (!latest) {
        qvctl_status_set(&st, ENOENT, "ERROR: %s holds no restore point yet", name.c_str());
        return nullptr;
    }
    const chain_record *p = number ? r.point(number) : latest;
    if (!p)
        qvctl_status_set(&st, ENOENT, "ERROR: %s has no point %llu; its points are %llu to %llu", name.c_str(),
                         static_cast<ull>(number), static_cast<ull>(r.points().front()->point),
                         static_cast<ull>(latest->point));
    return p;
}

std::uint64_t point_scan::total() const
{
    const chain_record *latest = r.latest();
    if (!latest)
        return 0;
    std::uint64_t n = read_image ? blocks_of(latest->sectors) : 0;
    for (std::uint64_t p = latest->point; p-- > (point ? point : latest->point);) {
        delta_reader d;
        qvctl_status ignored{};
        if (d.open(r, p, latest->sectors, ignored) == 0)
            n += d.records;
    }
    return n;
}

int point_scan::run(qvctl_status &st)
{
    const chain_record *latest = point_find(r, point, st);
    if (!latest)
        return st.code;
    latest = r.latest();
    const std::uint64_t wanted = point ? point : latest->point;
    const std::uint64_t size = latest->sectors * 512, count = blocks_of(latest->sectors);
    qv::unique_fd image, sums;
    for (auto [name, fd] : {std::pair{"image", &image}, std::pair{"sums", &sums}})
        if (int e = repo_file_open(r, r.dir.get(), name, O_RDONLY, *fd))
            return qvctl_status_set(&st, e, "ERROR: could not open %s: %s", r.file(name).c_str(), std::strerror(e));
    std::mutex lock;
    const auto found = [&](std::uint64_t p, std::uint64_t sector) {
        std::lock_guard g(lock);
        if (first_damaged.size() < shown)
            first_damaged.push_back({p, sector});
        ++damaged;
    };
    const std::string image_name = r.file("image"), sums_name = r.file("sums");
    // An older point restored: its deltas applied in the image's pass when they allow it.
    std::vector<delta_cursor> cursors;
    bool one_pass = image_blocks && read_image && wanted < latest->point;
    for (std::uint64_t p = latest->point; one_pass && p-- > wanted;) {
        delta_cursor &c = cursors.emplace_back();
        c.point = p;
        if (int e = c.d.open(r, p, latest->sectors, st))
            return e;
        if (int e = ascending(c.d, one_pass, st))
            return e;
    }
    if (!one_pass)
        cursors.clear();
    block_buffer one_block(1);
    const auto substitute = [&](std::uint64_t b, std::uint64_t n, unsigned char *buf, qvctl_status &ws) {
        for (delta_cursor &c : cursors) {  // newest first: the oldest, the point's own, written last
            const delta_entry *e = nullptr;
            for (;;) {
                if (int rc = c.current(e, ws))
                    return rc;
                if (!e || e->sector / repo_block_sectors >= b + n)
                    break;
                const std::uint64_t block = e->sector / repo_block_sectors;
                if (block >= b) {
                    if (int rc = c.d.content(*e, c.point, one_block.block(0), ws))
                        return rc;
                    std::memcpy(buf + (block - b) * repo_block, one_block.data(), repo_block);
                    ++blocks;
                    if (progress)
                        progress->add(1);
                }
                ++c.at;
            }
        }
        return 0;
    };
    const auto range = [&](std::uint64_t first, std::uint64_t last, qvctl_status &ws) {
        block_buffer buf(chunk_blocks);
        std::vector<std::uint64_t> kept(chunk_blocks);
        for (std::uint64_t b = first; b < last;) {
            if (int sig = snap_interrupt_signal())
                return qvctl_status_set(&ws, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d", sig);
            const std::uint64_t n = std::min(chunk_blocks, last - b);
            if (int e = blocks_read(image.get(), size, b, n, buf.data(), image_name, ws))
                return e;
            if (int e = data_pread(sums.get(), kept.data(), n * sizeof(std::uint64_t), b * sizeof(std::uint64_t),
                                   sums_name, ws))
                return e;
            for (std::uint64_t i = 0; i < n; ++i) {
                if (block_sum(buf.block(i)) == little_endian(kept[i]))
                    continue;
                if (stop_at_damage)
                    return damaged_at(ws, latest->point, (b + i) * repo_block_sectors);
                found(latest->point, (b + i) * repo_block_sectors);
            }
            if (!cursors.empty())
                if (int e = substitute(b, n, buf.data(), ws))
                    return e;
            if (image_blocks)
                if (int e = image_blocks(b, n, buf.data(), ws))
                    return e;
            if (progress)
                progress->add(n);
            b += n;
        }
        return 0;
    };
    // The deltas' cursors walk forward only: one worker then.
    const std::uint64_t w = cursors.empty() ? std::clamp<std::uint64_t>(static_cast<std::uint64_t>(workers), 1,
                                                                         std::max<std::uint64_t>(count, 1))
                                            : 1;
    std::vector<int> codes(w, 0);
    std::vector<qvctl_status> status(w);
    std::vector<std::thread> threads;
    for (std::uint64_t i = 0; i < w && read_image; ++i)
        threads.emplace_back([&, i] { codes[i] = range(count * i / w, count * (i + 1) / w, status[i]); });
    for (auto &t : threads)
        t.join();
    blocks += read_image ? count : 0;
    for (std::uint64_t i = 0; i < w; ++i)
        if (codes[i]) {
            st = status[i];
            return codes[i];
        }
    // Newest delta first: each one puts back the blocks its point had, so the oldest wins.
    block_buffer one(1);
    for (std::uint64_t p = latest->point; cursors.empty() && p-- > wanted;) {
        delta_reader d;
        if (int e = d.open(r, p, latest->sectors, st)) {
            if (stop_at_damage)
                return e;
            found(p, 0);
            continue;
        }
        int e = d.each(
            false,
            [&](const delta_entry &en) {
                ++blocks;
                if (progress)
                    progress->add(1);
                if (int c = d.content(en, p, one.block(0), st)) {
                    if (stop_at_damage || c != repo_damaged)
                        return c;
                    found(p, en.sector);
                    return 0;
                }
                return delta_block ? delta_block(en.sector / repo_block_sectors, en.zero, one.data(), st) : 0;
            },
            st);
        if (e == repo_damaged && !stop_at_damage) {
            found(p, 0);  // a damaged record: the rest of this delta cannot be read
            continue;
        }
        if (e)
            return e;
    }
    return damaged ? repo_damaged : 0;
}

}  // namespace qvctl_cli
