// SPDX-License-Identifier: GPL-2.0-or-later
// The run of the copy: block count, reset, progress thread, one worker per contiguous range, joins.
#include <pthread.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "heap_block.h"
#include "qvctl_internal.h"
#include "snap_engine.h"

namespace {

using ull = unsigned long long;

struct run_state {
    snap_options &o;
    qv::heap_ptr<pthread_t> threads;
    qv::heap_ptr<snap_worker> records;
    uint64_t sectors = 0;
    uint64_t total = 0;
};

bool resets_output(uint32_t flags) { return !(flags & (SNAP_INCREMENTAL | SNAP_NO_WRITE | SNAP_SEPARATED)); }

void workers_start(run_state &r)
{
    snap_options &o = r.o;
    const uint64_t n = static_cast<uint64_t>(o.workers);
    const uint64_t per = r.total / n + (r.total % n != 0);
    qvctl_log(LOG_DEBUG, stdout, "Device sectors: %llu; Blocks to copy: %llu; Workers: %d; Blocks per workers: %llu",
              static_cast<ull>(r.sectors), static_cast<ull>(r.total), o.workers, static_cast<ull>(per));
    for (int i = 0; i < o.workers; ++i) {
        // Past the total (more workers than blocks) a range comes out empty: first above last.
        uint64_t first = static_cast<uint64_t>(i) * per;
        uint64_t last = first + per > r.total ? r.total - 1 : first + per - 1;
        qvctl_log(LOG_DEBUG, stdout, "Worker #%u started with blocks %srange [%llu, %llu]", static_cast<unsigned>(i),
                  o.changelog ? "index " : "", static_cast<ull>(first), static_cast<ull>(last));
        snap_worker &w = r.records.get()[i];
        std::memset(&w, 0, sizeof w);
        w.snapfile = o.snapfile;
        w.snapdev_fd = o.snapdev_fd;
        w.snapfile_fd = o.snapfile_fd;
        w.changelog = o.changelog;
        w.flags = o.flags;
        w.first = first;
        w.last = last;
        w.sectors = r.sectors;
        pthread_t &t = r.threads.get()[i];
        if (int e = pthread_create(&t, nullptr, snap_worker_run, &w)) {
            qvctl_status_set(&o.status, e & 0xFF, "ERROR: failed to create worker thread [%d]: %s", i, std::strerror(e));
            o.workers = i;
            return;
        }
        qvctl_log(LOG_DEBUG, stdout, "Worker thread #%u started with tid %lu", static_cast<unsigned>(i),
                  static_cast<unsigned long>(t));
    }
}

int copy(run_state &r)
{
    snap_options &o = r.o;
    r.sectors = device_size_sectors(o.blkdev, &o.status);
    if (r.sectors == 0)
        return o.status.code;
    r.total = snap_blocks_count(&o);
    o.total = r.total;
    if (o.status.code)
        return o.status.code;
    if (r.total == 0) {
        qvctl_log(LOG_NOTICE, stdout, "No blocks to copy");
        return 0;
    }
    if (resets_output(o.flags))
        if (uint32_t code = snap_output_reset(&o, r.sectors))
            return code;

    snap_progress_reset();
    const bool progress = !(o.flags & SNAP_HIDE_PROGRESS);
    pthread_t progress_thread;
    if (progress)
        if (int e = pthread_create(&progress_thread, nullptr, snap_progress_run, &r.total))
            return qvctl_status_set(&o.status, e & 0xFF, "ERROR: failed to create thread in %s: %s", "snap_copy",
                                            std::strerror(e));
    workers_start(r);
    snap_workers_join(r.threads.get(), r.records.get(), o.workers, &o.status);
    if (progress) {
        // Workers that stopped short never bring the count to the total.
        snap_progress_stop();
        pthread_join(progress_thread, nullptr);
    }
    for (int i = 0; i < o.workers; ++i) {
        o.copied += r.records.get()[i].copied;
        o.bytes += r.records.get()[i].bytes;
    }
    if (int sig = snap_interrupt_signal(); sig && !o.status.code)
        qvctl_status_set(&o.status, SNAP_INTERRUPTED,
                         "ERROR: interrupted by signal %d after %llu of %llu blocks; %s is incomplete",
                         sig, static_cast<ull>(o.copied), static_cast<ull>(r.total), o.snapfile);
    return o.status.code;
}

}  // namespace

extern "C" int snap_copy(snap_options *opts)
{
    const size_t n = static_cast<size_t>(opts->workers);
    run_state r{*opts,
                qv::heap_ptr<pthread_t>(static_cast<pthread_t *>(std::calloc(n, sizeof(pthread_t)))),
                qv::heap_ptr<snap_worker>(static_cast<snap_worker *>(std::calloc(n, sizeof(snap_worker))))};
    opts->total = opts->copied = opts->bytes = 0;
    if (!r.threads || !r.records)
        return qvctl_status_set(&opts->status, ENOMEM, "ERROR: Failed to allocate memory in %s", __func__);
    uint32_t code = copy(r);
    std::free(opts->changelog);
    opts->changelog = nullptr;
    return code;
}

extern "C" void snap_workers_join(pthread_t *threads, snap_worker *workers, int count, qvctl_status *status)
{
    for (int i = 0; i < count; ++i) {
        if (int e = pthread_join(threads[i], nullptr)) {
            if (status->code == 0)
                qvctl_status_set(status, e & 0xFF, "ERROR: failed to join thread");
            else
                qvctl_log(LOG_ERR, stderr, "failed to join thread");
            return;
        }
        if (workers[i].status.code && status->code == 0)
            qvctl_status_set(status, static_cast<int>(workers[i].status.code), "one of workers has failed");
    }
}
