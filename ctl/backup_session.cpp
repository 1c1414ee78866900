// SPDX-License-Identifier: GPL-2.0-or-later
// One backup from the checks to the record: checks the device and the target, claims the image and
// its manifest, decides between a copy and a resync, starts the snapshot, copies with the image
// tool's engine, spot-checks and optionally reads the copy back, and completes the snapshot, or
// cancels it on any failure so that its changed blocks come back in the next incremental.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "backup.h"
#include "backup_checks.h"
#include "chain_manifest.h"
#include "qvctl_internal.h"
#include "snap_engine.h"
#include "unique_fd.h"

namespace qvctl_cli {

namespace {

// Exit status of an image that differs from its snapshot.
constexpr int image_differs = 9;

int no_base(qvctl_status &st, const char *image)
{
    return qvctl_status_set(&st, refused_by_chain, "ERROR: %s holds no complete base image; run a base backup first",
                            image);
}

bool process_gone(long pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

struct backup {
    const backup_request &req;
    std::string image, chain;
    qv::unique_fd image_fd;
    std::vector<chain_record> records;
    chain_record rec;
    bool snapshot_taken = false;
    bool resync = false;
    qvctl_status st{};

    explicit backup(const backup_request &r) : req(r), image(r.image), chain(chain_path(r.image)) {}

    int claim_image()
    {
        qvctl_status refused{};
        image_fd.reset(snap_file_open(req.image, O_RDWR | (req.incremental ? 0 : O_CREAT), 0644, &refused));
        if (!image_fd) {
            if (refused.code) {
                st = refused;
                return static_cast<int>(st.code);
            }
            if (errno == ENOENT)
                return no_base(st, req.image);
            return qvctl_status_set(&st, errno, "ERROR: could not open file %s: %s", req.image, std::strerror(errno));
        }
        // The image's lock covers its manifest too: one backup or run at a time per image.
        if (::flock(image_fd.get(), LOCK_EX | LOCK_NB) != 0)
            return qvctl_status_set(&st, EBUSY, "ERROR: %s is in use by another run", req.image);
        return 0;
    }

    int check_chain()
    {
        if (!chain_read(chain, records, st))
            return static_cast<int>(st.code);
        if (!req.incremental)
            return 0;
        const chain_record *base = nullptr;
        for (const chain_record &r : records)
            if (r.kind == "base")
                base = &r;
        if (!base || base->result != "succeeded")
            return no_base(st, req.image);
        std::string why;
        if (int r = chain_continuity(req.device, req.image, records, rec, image_fd.get(), req.resync, why, st))
            return r;
        if (!why.empty())
            resync_because(why);
        return 0;
    }

    void resync_because(const std::string &why)
    {
        resync = rec.resync = true;
        rec.why = why;
        qvctl_log(LOG_NOTICE, stdout, "Incremental backup of %s into %s runs as a resync: %s", req.device, req.image,
                  why.c_str());
    }

    // A held snapshot is ours to cancel only when the last backup into this image took it and its
    // process is gone; the image's lock tells that no run of ours is still at work on it.
    int clear_leftover()
    {
        chain_record *last = records.empty() ? nullptr : &records.back();
        bool ours = last && last->result == "started" && last->device == req.device && process_gone(last->pid);
        char held[4096] = "";
        qvctl_status probe{};
        bool snapshot_held = qvctl_snapshot_get(req.device, held, &probe) == 0;
        if (snapshot_held && !ours)
            return qvctl_status_set(&st, EBUSY,
                                    "ERROR: %s already has a snapshot (%s) that no backup of %s took; it is left alone",
                                    req.device, held, req.image);
        if (!ours)
            return 0;
        if (snapshot_held && qvctl_snapshot_cancel(req.device, &st) != 0)
            return static_cast<int>(st.code);
        qvctl_log(LOG_NOTICE, stdout, "Backup %llu of %s (process %ld) was killed%s",
                  static_cast<unsigned long long>(last->seq), req.device, last->pid,
                  snapshot_held ? "; its snapshot is cancelled" : "");
        last->result = "killed";
        last->end = utc_now();
        return chain_write(chain, records, st) ? 0 : static_cast<int>(st.code);
    }

    int record_start()
    {
        rec.seq = records.empty() ? 1 : records.back().seq + 1;
        rec.kind = req.incremental ? "incremental" : "base";
        rec.start = utc_now();
        rec.device = req.device;
        rec.fs = fs_name(req.device);
        rec.result = "started";
        rec.pid = static_cast<long>(::getpid());
        records.push_back(rec);
        return chain_write(chain, records, st) ? 0 : static_cast<int>(st.code);
    }

    snap_options options(uint32_t flags) const
    {
        snap_options o;
        snap_options_init(&o);
        std::snprintf(o.blkdev, sizeof o.blkdev, "%s", req.device);
        std::snprintf(o.snapfile, sizeof o.snapfile, "%s", req.image);
        o.workers = req.workers;
        o.flags = flags | (req.json || !::isatty(STDOUT_FILENO) ? SNAP_HIDE_PROGRESS : 0u);
        return o;
    }

    // One pass of the engine over the image: the copy, or the resync.
    int pass(uint32_t flags)
    {
        snap_options o = options(flags | SNAP_OUTPUT_LOCKED);
        o.snapfile_fd = image_fd.get();
        uint32_t code = snap_run(&o);
        rec.snapshot = o.snapdev;
        rec.blocks += o.copied;
        rec.bytes += o.bytes;
        if (flags & SNAP_RESYNC)
            rec.differing = o.copied;
        if (code)
            st = o.status;
        return static_cast<int>(code);
    }

    // With the snapshot still held: blocks outside the changelog that differ mean it missed changes,
    // and the same run goes on as a resync.
    int spot_check_pass()
    {
        snap_options o = options(SNAP_HIDE_PROGRESS);
        std::snprintf(o.snapdev, sizeof o.snapdev, "%s", rec.snapshot.c_str());
        qv::unique_fd snapdev(::open(o.snapdev, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
        if (!snapdev)
            return qvctl_status_set(&st, errno, "ERROR: could not open file %s: %s", o.snapdev, std::strerror(errno));
        o.snapdev_fd = snapdev.get();
        o.snapfile_fd = image_fd.get();
        spot_result found;
        if (uint32_t code = spot_check(o, req.spot_check, found)) {
            st = o.status;
            return static_cast<int>(code);
        }
        rec.spot_checked = found.checked;
        if (!found.differing)
            return 0;
        qvctl_log(LOG_WARNING, stderr,
                  "WARNING: %llu of %llu blocks that the changelog of %s did not list differ from the snapshot, the "
                  "first at sector %llu",
                  static_cast<unsigned long long>(found.differing), static_cast<unsigned long long>(found.checked),
                  req.device, static_cast<unsigned long long>(found.first_sector));
        resync_because("the spot check found " + std::to_string(found.differing) + " of " +
                       std::to_string(found.checked) + " blocks outside the changelog differing");
        return pass(SNAP_RESYNC);
    }

    int copy_and_check()
    {
        if (int sig = snap_interrupt_signal())
            return qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d before the copy", sig);
        const uint32_t kind = resync ? SNAP_RESYNC : req.incremental ? SNAP_INCREMENTAL : 0u;
        if (int r = pass(kind))
            return r;
        if (kind == SNAP_INCREMENTAL && req.spot_check)
            if (int r = spot_check_pass())
                return r;
        if (!req.verify)
            return 0;
        if (req.before_verify)
            req.before_verify(req.image, req.context);
        // After a resync every block is read back; after a copy the blocks it copied.
        snap_options v = options(resync ? 0u : kind);
        snap_verify_result found{};
        if (int r = snap_verify_image(&v, &found)) {
            st = v.status;
            return static_cast<int>(r);
        }
        if (found.differing)
            return qvctl_status_set(&st, image_differs,
                                    "ERROR: %s differs from the snapshot %s in %llu blocks, the first at sector %llu",
                                    req.image, v.snapdev, static_cast<unsigned long long>(found.differing),
                                    static_cast<unsigned long long>(found.sectors[0]));
        rec.verified = true;
        return 0;
    }

    // Completing consumes the snapshot's changelog, so it happens only after a full copy; anything
    // else cancels, which hands the changed blocks back to the live changelog.
    int end_snapshot(int code)
    {
        if (!snapshot_taken)
            return code;
        qvctl_status end{};
        if (code == 0 && qvctl_snapshot_complete(req.device, &end) == 0)
            return 0;
        if (code == 0) {
            st = end;
            code = static_cast<int>(end.code);
        }
        qvctl_status cancel{};
        if (qvctl_snapshot_cancel(req.device, &cancel) != 0)
            qvctl_log(LOG_ERR, stderr, "%s", cancel.message);
        return code;
    }

    int run()
    {
        if (int r = device_ready(req.device, st))
            return r;
        if (int r = backup_target_check(req.device, req.image, !req.incremental, st))
            return r;
        device_identity_note(req.device, rec);
        if (int r = claim_image())
            return r;
        if (int r = check_chain())
            return r;
        if (int r = clear_leftover())
            return r;
        if (int r = record_start())
            return r;
        int code = 0;
        char snap[4096] = "";
        if (int sig = snap_interrupt_signal()) {
            code = qvctl_status_set(&st, SNAP_INTERRUPTED, "ERROR: interrupted by signal %d before the snapshot", sig);
        } else if (qvctl_snapshot_start(req.device, snap, 0, &st) != 0) {
            code = static_cast<int>(st.code);
            // Taken, but its device never showed: still ours to cancel.
            snapshot_taken = st.code == ETIMEDOUT;
        } else {
            snapshot_taken = true;
            rec.snapshot = snap;
            code = copy_and_check();
        }
        code = end_snapshot(code);
        image_identity_note(image_fd.get(), rec);
        rec.end = utc_now();
        rec.code = static_cast<uint32_t>(code);
        rec.message = code ? st.message : "";
        rec.result = code == 0 ? "succeeded" : (snap_interrupt_signal() ? "interrupted" : "failed");
        records.back() = rec;
        qvctl_status written{};
        if (chain_write(chain, records, written))
            return code;
        if (code)
            qvctl_log(LOG_ERR, stderr, "%s", written.message);
        else
            st = written;
        return code ? code : static_cast<int>(written.code);
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
