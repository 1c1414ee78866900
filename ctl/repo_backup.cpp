// SPDX-License-Identifier: GPL-2.0-or-later
// One backup into a repository, from the checks to the new point: checks the device, opens the
// store (which finishes what a cut run left), decides between a base, an incremental and a resync,
// starts the snapshot, has the store copy it, spot-checks and optionally reads the copy back,
// seals and records the point, and only then completes the snapshot. Any failure before the record
// undoes the copy and cancels the snapshot, so that its changed blocks come back in the next
// incremental.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "backup.h"
#include "backup_checks.h"
#include "qvctl_internal.h"
#include "backup_store.h"
#include "rbd_client.h"
#include "repo.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

bool process_gone(long pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

struct changelog_walk {
    block_patcher *patch;
    spot_walk *spot;
    qvctl_status *st;
};

int changelog_run(const qvctl_changelog_entry *e, uint32_t, void *ctx, qvctl_status *)
{
    auto &w = *static_cast<changelog_walk *>(ctx);
    if (e->start % repo_block_sectors)
        return qvctl_status_set(w.st, EPROTO, "ERROR: the changelog lists a run at sector %llu, off a block boundary",
                                static_cast<ull>(e->start));
    const std::uint64_t first = e->start / repo_block_sectors;
    w.spot->run(first, e->count);
    return w.patch->listed(first, e->count, *w.st);
}

struct backup {
    const backup_request &req;
    std::unique_ptr<backup_store> store;
    chain_record rec;
    std::uint64_t last = 0;  // the point this backup builds on; 0 for a base
    qv::unique_fd snapshot;
    bool snapshot_taken = false, copying = false;
    qvctl_status st{};

    explicit backup(const backup_request &q)
        : req(q), store(rbd_ref_is(q.repo) ? ceph_store(q) : folder_store(q))
    {
    }

    bool base() const { return !last; }
    std::vector<chain_record> &records() { return store->chain().records; }
    bool save() { return store->save(st); }

    // A held snapshot is ours to cancel only when the last run into this repository took it and
    // its process is gone; the repository's lock tells that no run of ours is still at work.
    int clear_leftover()
    {
        chain_record *prev = records().empty() ? nullptr : &records().back();
        const bool ours = prev && prev->result == "started" && prev->device == req.device && process_gone(prev->pid);
        char held[4096] = "";
        qvctl_status probe{};
        const bool snapshot_held = qvctl_snapshot_get(req.device, held, &probe) == 0;
        if (snapshot_held && !ours)
            return qvctl_status_set(&st, EBUSY,
                                    "ERROR: %s already has a snapshot (%s) that no backup into %s took; it is left alone",
                                    req.device, held, req.repo);
        if (!ours)
            return 0;
        if (snapshot_held && qvctl_snapshot_cancel(req.device, &st) != 0)
            return st.code;
        qvctl_log(LOG_NOTICE, stdout, "Backup %llu of %s (process %ld) was killed%s", static_cast<ull>(prev->seq),
                  req.device, prev->pid, snapshot_held ? "; its snapshot is cancelled" : "");
        prev->result = "killed";
        prev->end = utc_now();
        return save() ? 0 : st.code;
    }

    int decide()
    {
        const chain_record *latest = store->chain().latest();
        last = latest ? latest->point : 0;
        rec.kind = base() ? "base" : "incremental";
        std::string why;
        if (int c = chain_continuity(req.device, req.repo, records(), rec, req.resync, why, st))
            return c;
        if (!why.empty() && !base())
            resync_because(why);
        return 0;
    }

    void resync_because(const std::string &why)
    {
        rec.resync = true;
        rec.kind = "resync";
        rec.why = why;
        qvctl_log(LOG_NOTICE, stdout, "Backup of %s into %s runs as a resync: %s", req.device, req.repo, why.c_str());
    }

    int record_start()
    {
        rec.seq = records().empty() ? 1 : records().back().seq + 1;
        rec.start = utc_now();
        rec.device = req.device;
        rec.fs = fs_name(req.device);
        rec.result = "started";
        rec.pid = static_cast<long>(::getpid());
        records().push_back(rec);
        return save() ? 0 : st.code;
    }

    int open_snapshot()
    {
        snapshot.reset(::open(rec.snapshot.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC));
        if (!snapshot)
            return qvctl_status_set(&st, errno, "ERROR: could not open %s: %s", rec.snapshot.c_str(),
                                    std::strerror(errno));
        return store->prepare(base(), st);
    }

    copy_source source(progress_meter *progress) const
    {
        return {snapshot.get(), rec.snapshot, rec.sectors * 512, progress, req.workers};
    }

    bool progress_shown() const { return !req.json && ::isatty(STDOUT_FILENO); }

    // The changelog's blocks, then the spot check's sample of those it did not list; a sample
    // block that differs from its checksum shows that the changelog missed changes, and the same
    // run goes on as a resync.
    int copy_changes(block_patcher &p, const copy_source &src)
    {
        qvctl_status counted{};
        const std::uint64_t listed = qvctl_changelog_count(req.device, &counted);
        if (counted.code)
            return st = counted, st.code;
        const std::uint64_t blocks = blocks_of(rec.sectors);
        if (src.progress)
            src.progress->total(listed);
        spot_walk spot;
        spot.ranks = spot_ranks(blocks > listed ? blocks - listed : 0, req.spot_check);
        changelog_walk walk{&p, &spot, &st};
        if (listed) {
            std::unique_ptr<qvctl_changelog_stats, decltype(&std::free)> stats(
                qvctl_changelog_iterate(req.device, static_cast<uint32_t>(listed), changelog_run, &walk, &st),
                std::free);
            if (!stats && st.code)
                return st.code;
        }
        spot.end(blocks);
        if (int c = p.finish(st))
            return c;
        std::uint64_t differing = 0, first = 0;
        for (std::uint64_t b : spot.blocks) {
            bool same = true;
            if (int c = p.matches(b, same, st))
                return c;
            if (!same && !differing++)
                first = b * repo_block_sectors;
        }
        rec.spot_checked = spot.blocks.size();
        if (!differing)
            return 0;
        qvctl_log(LOG_WARNING, stderr,
                  "WARNING: %llu of %llu blocks that the changelog of %s did not list differ from the snapshot, the "
                  "first at sector %llu",
                  static_cast<ull>(differing), static_cast<ull>(spot.blocks.size()), req.device, static_cast<ull>(first));
        resync_because("the spot check found " + std::to_string(differing) + " of " +
                       std::to_string(spot.blocks.size()) + " blocks outside the changelog differing");
        if (src.progress)
            src.progress->total(listed + blocks);
        return p.resync(st);
    }

    int copy_later(patch_counts &counts)
    {
        copying = true;
        progress_meter progress(rec.resync ? "resync" : "incremental", blocks_of(rec.sectors), progress_shown());
        const copy_source src = source(&progress);
        auto walk = [&](block_patcher &p) { return rec.resync ? p.resync(st) : copy_changes(p, src); };
        int c = store->copy_later(src, last, rec.resync, walk, counts, rec.differing, rec.disk_bytes, st);
        progress.stop();
        return c;
    }

    int copy_base(patch_counts &counts)
    {
        copying = true;
        progress_meter progress("base", blocks_of(rec.sectors), progress_shown());
        int c = store->copy_base(source(&progress), counts, st);
        progress.stop();
        if (!c)
            rec.disk_bytes = store->base_disk_bytes();
        return c;
    }

    int verify()
    {
        if (req.before_verify)
            req.before_verify(store->image_name().c_str(), req.context);
        std::uint64_t differing = 0, sector = 0;
        if (int c = store->compare(source(nullptr), differing, sector, st))
            return c;
        if (differing)
            return qvctl_status_set(&st, repo_damaged,
                                    "ERROR: %s differs from the snapshot %s in %llu blocks, the first at sector %llu",
                                    store->image_name().c_str(), rec.snapshot.c_str(), static_cast<ull>(differing),
                                    static_cast<ull>(sector));
        rec.verified = true;
        return 0;
    }

    int copy()
    {
        if (int sig = snap_interrupt_signal())
            return qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d before the copy", sig);
        if (int c = open_snapshot())
            return c;
        qvctl_log(LOG_NOTICE, stdout, "Backup %llu of %s into %s: %s from snapshot %s", static_cast<ull>(rec.seq),
                  req.device, req.repo, rec.kind.c_str(), rec.snapshot.c_str());
        patch_counts counts;
        int c = base() ? copy_base(counts) : copy_later(counts);
        rec.blocks = counts.blocks;
        rec.bytes = counts.bytes;
        if (c)
            return c;
        if (req.verify)
            if (int v = verify())
                return v;
        return store->seal(last + 1, st);
    }

    // A failed run leaves the image as the last point had it.
    void undo()
    {
        if (!copying)
            return;
        qvctl_status saved = st;
        if (!store->undo(st))
            qvctl_log(LOG_ERR, stderr, "%s; the next backup rolls it back", st.message);
        st = saved;
    }

    int finish(int code)
    {
        rec.end = utc_now();
        rec.code = static_cast<uint32_t>(code);
        rec.message = code ? st.message : "";
        rec.result = code == 0 ? "succeeded" : (snap_interrupt_signal() ? "interrupted" : "failed");
        rec.point = code == 0 ? last + 1 : 0;
        records().back() = rec;
        const qvctl_status failure = st;
        if (!save()) {
            qvctl_log(LOG_ERR, stderr, "%s", st.message);
            if (code) {
                st = failure;  // the run's own failure is what it reports
            } else {
                code = st.code;
                rec.result = "failed";
                rec.point = 0;
            }
        }
        if (code)
            undo();
        return end_snapshot(code);
    }

    // Completing consumes the snapshot's changelog, so it happens only once the point is
    // recorded; anything else cancels, which hands the changed blocks back to the live changelog.
    int end_snapshot(int code)
    {
        if (!snapshot_taken)
            return code;
        snapshot.reset();
        qvctl_status end{};
        if (code == 0 && qvctl_snapshot_complete(req.device, &end) == 0)
            return 0;
        if (code == 0)
            qvctl_log(LOG_WARNING, stderr, "WARNING: point %llu is recorded, but %s; the next backup copies its "
                                           "blocks again", static_cast<ull>(rec.point), end.message);
        qvctl_status cancel{};
        if (qvctl_snapshot_cancel(req.device, &cancel) != 0)
            qvctl_log(LOG_ERR, stderr, "%s", cancel.message);
        return code;
    }

    int run()
    {
        if (int c = device_ready(req.device, st))
            return c;
        device_identity_note(req.device, rec);
        if (int c = store->open(st))
            return c;
        if (int c = clear_leftover())
            return c;
        if (int c = decide())
            return c;
        if (int c = record_start())
            return c;
        int code = 0;
        char snap[4096] = "";
        if (int sig = snap_interrupt_signal()) {
            code = qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d before the snapshot", sig);
        } else if (qvctl_snapshot_start(req.device, snap, 0, &st) != 0) {
            code = st.code;
            // Taken, but its device never showed: still ours to cancel.
            snapshot_taken = st.code == ETIMEDOUT;
        } else {
            snapshot_taken = true;
            rec.snapshot = snap;
            code = copy();
        }
        return finish(code);
    }
};

}  // namespace

int backup_session_run(const backup_request &request, chain_record &rec, qvctl_status &st)
{
    backup b(request);
    int code = b.run();
    rec = b.rec;
    st = b.st;
    return code;
}

}  // namespace qvctl_cli
