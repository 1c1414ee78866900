// SPDX-License-Identifier: GPL-2.0-or-later
// The points of a repository in Ceph read back: each from its snapshot of the image with the
// checksums of the same snapshot, many reads in flight; the latest, for a check, from the image
// itself, which the next backup builds on. Pruning drops the records first, then the snapshots.
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "progress_meter.h"
#include "rbd_repo.h"
#include "repo_restore.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

constexpr std::uint64_t chunk_blocks = 1024;  // 4 MiB, an RBD object
constexpr std::size_t in_flight = 8;

struct point_reader {
    rbd_image &image, &sums;
    std::uint64_t size = 0, point = 0;
    progress_meter *progress = nullptr;
    bool stop_at_damage = true;
    std::uint64_t blocks = 0, damaged = 0;
    std::vector<damage> first_damaged{};
    // Blocks [first, first + n) read and checked.
    std::function<int(std::uint64_t first, std::uint64_t n, const unsigned char *data, qvctl_status &st)> each{};

    int damage_found(std::uint64_t block, const std::string &label, qvctl_status &st)
    {
        if (first_damaged.size() < point_scan::shown)
            first_damaged.push_back({point, block * repo_block_sectors});
        if (!damaged++ || stop_at_damage)
            qvctl_status_set(&st, repo_damaged, "ERROR: block %llu of %s differs from its checksum",
                             static_cast<ull>(block), label.c_str());
        return stop_at_damage ? repo_damaged : 0;
    }

    int run(qvctl_status &st)
    {
        sums_file sum_file(rbd_repo::sums_of(sums, rbd_sums_bytes(size)), sums.label);
        rbd_pipe pipe(image, in_flight, chunk_blocks * repo_block);
        const std::uint64_t count = blocks_of(size / 512);
        struct pending {
            unsigned char *data;
            std::uint64_t first, n;
        };
        std::vector<pending> batch;
        for (std::uint64_t b = 0; b < count;) {
            batch.clear();
            for (std::size_t k = 0; k < in_flight && b < count; ++k) {
                if (int sig = snap_interrupt_signal())
                    return qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d", sig);
                const std::uint64_t n = std::min(chunk_blocks, count - b);
                const std::uint64_t offset = b * repo_block, length = std::min(n * repo_block, size - offset);
                unsigned char *buf = pipe.buffer(st);
                if (!buf)
                    return st.code ? st.code : qvctl_status_set(&st, ENOMEM, "ERROR: out of memory");
                // A last block cut short reads as if padded with zeros.
                std::memset(buf + length, 0, n * repo_block - length);
                if (int c = pipe.read(offset, length, buf, st))
                    return c;
                batch.push_back({buf, b, n});
                b += n;
            }
            if (int c = pipe.drain(st))
                return c;
            for (const pending &p : batch) {
                for (std::uint64_t i = 0; i < p.n; ++i) {
                    std::uint64_t kept = 0;
                    if (int c = sum_file.get(p.first + i, kept, st))
                        return c;
                    if (kept != block_sum({p.data + i * repo_block, repo_block}))
                        if (int c = damage_found(p.first + i, image.label, st))
                            return c;
                }
                blocks += p.n;
                if (each)
                    if (int c = each(p.first, p.n, p.data, st))
                        return c;
                if (progress)
                    progress->add(p.n);
            }
        }
        return 0;
    }
};

ceph_options options_of(const ceph_options *how) { return how ? *how : ceph_options{}; }

}  // namespace

int rbd_restore(const restore_request &req, restore_result &out, qvctl_status &st)
{
    rbd_repo r;
    if (int c = r.open(req.repo, options_of(req.ceph), repo_access::read, st))
        return c;
    const chain_record *p = point_find(r, r.label, req.point, st);
    if (!p)
        return st.code;
    const std::uint64_t size = r.latest()->sectors * 512;
    restore_target t;
    if (int c = restore_target_open(nullptr, req.target, size, t, st))
        return c;
    rbd_image image, sums;
    if (image.open(r.pool, r.ref.name, rbd_repo::snap(p->point).c_str(), false, st) ||
        sums.open(r.pool, r.sums_name(), rbd_repo::snap(p->point).c_str(), false, st))
        return st.code;
    out = restore_result{p->point, size, 0, 0, t.device};
    progress_meter meter("restore", blocks_of(size / 512), req.progress);
    point_reader reader{image, sums, size, p->point, &meter};
    reader.each = [&](std::uint64_t first, std::uint64_t n, const unsigned char *data, qvctl_status &ws) {
        std::uint64_t data_blocks = 0;
        int c = restore_blocks(t, size, first, n, data, data_blocks, ws);
        out.data_blocks += data_blocks;
        out.zero_blocks += n - data_blocks;
        return c;
    };
    int c = reader.run(st);
    meter.stop();
    if (c)
        return c;
    return data_sync(t.fd.get(), t.name, st);
}

int rbd_check(const std::string &repo, const ceph_options &ceph, std::uint64_t point, bool progress,
              check_result &out, qvctl_status &st)
{
    rbd_repo r;
    if (int c = r.open(repo, ceph, repo_access::write, st))
        return c;
    const chain_record *from = point_find(r, r.label, point, st);
    if (!from)
        return st.code;
    if (!point)
        from = r.points().front();
    const chain_record *latest = r.latest();
    const std::uint64_t size = latest->sectors * 512;
    for (const chain_record *p : r.points())
        if (p->point >= from->point)
            out.points.push_back(p->point);
    progress_meter meter("check", out.points.size() * blocks_of(latest->sectors), progress);
    int result = 0;
    for (std::uint64_t n : out.points) {
        rbd_image snap_image, snap_sums;
        const bool head = n == latest->point;
        const std::string name = rbd_repo::snap(n);
        if (!head && (snap_image.open(r.pool, r.ref.name, name.c_str(), false, st) ||
                      snap_sums.open(r.pool, r.sums_name(), name.c_str(), false, st)))
            return st.code;
        point_reader reader{head ? r.head : snap_image, head ? r.sums : snap_sums, size, n, &meter};
        reader.stop_at_damage = false;
        qvctl_status found{};
        if (int c = reader.run(found); c && c != repo_damaged)
            return st = found, c;
        out.blocks += reader.blocks;
        out.damaged += reader.damaged;
        for (const damage &d : reader.first_damaged)
            if (out.first_damaged.size() < point_scan::shown)
                out.first_damaged.push_back(d);
        if (reader.damaged && !result)
            st = found, result = repo_damaged;
    }
    meter.stop();
    return result;
}

int rbd_prune(const std::string &repo, const ceph_options &ceph, std::uint64_t keep, prune_result &out,
              qvctl_status &st)
{
    rbd_repo r;
    if (int c = r.open(repo, ceph, repo_access::write, st))
        return c;
    const chain_record *oldest_kept = prune_plan(r, keep, out);
    if (!oldest_kept)
        return 0;
    const std::uint64_t first_seq = oldest_kept->seq;
    for (std::uint64_t p : out.removed)
        out.freed += r.point(p)->disk_bytes;
    std::erase_if(r.records, [&](const chain_record &rec) { return rec.seq < first_seq; });
    if (!r.save(st))
        return st.code;
    // A prune cut here leaves snapshots of no recorded point, which the next writer removes.
    return r.stray_snaps_remove(st);
}

}  // namespace qvctl_cli
