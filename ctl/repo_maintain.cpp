// SPDX-License-Identifier: GPL-2.0-or-later
// The repository kept sound and small: every block compared with its checksum, without the device
// or any snapshot; the oldest points given up, each whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "progress_meter.h"
#include "rbd_client.h"
#include "repo_restore.h"

namespace qvctl_cli {

int repo_check(const std::string &path, const ceph_options *ceph, std::uint64_t point, int workers, bool progress,
               check_result &out, qvctl_status &st)
{
    if (rbd_ref_is(path))
        return rbd_check(path, ceph ? *ceph : ceph_options{}, point, progress, out, st);
    repo r;
    if (int e = repo_open(r, path, repo_access::write))
        return st = r.st, e;
    // Without --point, every point: the oldest delta is the last one read.
    const chain_record *from = point_find(r, point, st);
    if (!from)
        return st.code;
    if (!point)
        from = r.points().front();
    for (const chain_record *p : r.points())
        if (p->point >= from->point)
            out.points.push_back(p->point);
    point_scan scan(r, from->point, workers);
    scan.stop_at_damage = false;
    progress_meter meter("check", scan.total(), progress);
    scan.progress = &meter;
    int e = scan.run(st);
    meter.stop();
    out.blocks = scan.blocks;
    out.damaged = scan.damaged;
    out.first_damaged = scan.first_damaged;
    return e;
}

const chain_record *prune_plan(const chain_points &r, std::uint64_t keep, prune_result &out)
{
    auto points = r.points();
    keep = std::max<std::uint64_t>(keep, 1);
    for (std::size_t i = 0; i < points.size(); ++i)
        (i + keep < points.size() ? out.removed : out.kept).push_back(points[i]->point);
    return out.removed.empty() ? nullptr : points[points.size() - keep];
}

int repo_prune(const std::string &path, const ceph_options *ceph, std::uint64_t keep, prune_result &out,
               qvctl_status &st)
{
    if (rbd_ref_is(path))
        return rbd_prune(path, ceph ? *ceph : ceph_options{}, keep, out, st);
    repo r;
    if (int e = repo_open(r, path, repo_access::write))
        return st = r.st, e;
    const chain_record *oldest_kept = prune_plan(r, keep, out);
    if (!oldest_kept)
        return 0;
    const std::uint64_t first_seq = oldest_kept->seq, first_point = oldest_kept->point;
    for (std::uint64_t p : out.removed)
        out.freed += point_disk_bytes(r, *r.point(p));
    // Runs older than the oldest point kept go with the points; their records describe nothing left.
    std::erase_if(r.records, [&](const chain_record &rec) { return rec.seq < first_seq; });
    if (!r.save())
        return st = r.st, st.code;
    for (std::uint64_t p : out.removed) {
        if (p >= first_point)
            continue;
        ::unlinkat(r.deltas.get(), delta_name(p, "map").c_str(), 0);
        ::unlinkat(r.deltas.get(), delta_name(p, "data").c_str(), 0);
    }
    if (::fsync(r.deltas.get()) != 0)
        return qvctl_status_set(&st, errno, "ERROR: could not put %s on the disk: %s", r.file("deltas").c_str(),
                                std::strerror(errno));
    return 0;
}

}  // namespace qvctl_cli
