// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "fs/freeze.h"
#include "fs/mount_table.h"
#include "unique_fd.h"

namespace {

// One attempt's job in storage of its own: a worker still blocked in FIFREEZE when fs_freeze gives
// up keeps a valid descriptor, device text and status record; whichever side lets go last frees it.
// A freeze that takes hold after fs_freeze gave up on it would stay forever (no caller thaws after a
// failed freeze), so whichever side learns last that it took hold thaws it.
enum task_state : int { running, finished, abandoned };

struct freeze_task {
    freeze_job job{};
    qv::unique_fd fd;
    std::string device;
    qvctl_status status{};
    std::atomic<int> refs{2};
    std::atomic<int> state{running};

    void unref() noexcept
    {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

void thaw_if_frozen(freeze_task &task)
{
    if (task.status.code == 0)
        ::ioctl(task.fd.get(), FITHAW, 0);
}

void *freeze_thread(void *arg)
{
    auto *task = static_cast<freeze_task *>(arg);
    freeze_worker(&task->job);
    int expected = running;
    if (!task->state.compare_exchange_strong(expected, finished, std::memory_order_acq_rel))
        thaw_if_frozen(*task);
    task->unref();
    return nullptr;
}

// fs_freeze stops waiting for the worker: a worker still blocked is left to thaw its own late freeze;
// one that has just finished is joined, and a freeze it made is undone here.
void give_up(pthread_t thread, freeze_task *task)
{
    int expected = running;
    if (task->state.compare_exchange_strong(expected, abandoned, std::memory_order_acq_rel)) {
        pthread_detach(thread);
    } else {
        pthread_join(thread, nullptr);
        thaw_if_frozen(*task);
    }
    task->unref();
}

freeze_task *task_new(int dir_fd, const char *device) noexcept
{
    auto *task = new (std::nothrow) freeze_task;
    if (!task)
        return nullptr;
    try {
        task->device = device;
    } catch (...) {
        delete task;
        return nullptr;
    }
    task->fd.reset(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    task->job = {task->fd.get(), task->device.c_str(), &task->status};
    return task;
}

timespec deadline_in(time_t seconds) noexcept
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += seconds;
    return ts;
}

enum class attempt { done, again };

// One worker, one bounded wait. `result` is what fs_freeze answers when the attempt ends the loop.
attempt freeze_attempt(int dir_fd, const char *device, qvctl_status *st, int &result)
{
    freeze_task *task = task_new(dir_fd, device);
    if (!task || !task->fd) {
        int err = task ? errno : ENOMEM;
        delete task;
        result = err;
        qvctl_status_set(st, err & 0xff, "ERROR: failed to create freeze fs thread for %s", device);
        return attempt::done;
    }
    pthread_t thread;
    if (int err = pthread_create(&thread, nullptr, freeze_thread, task); err != 0) {
        delete task;
        result = err;
        qvctl_status_set(st, err & 0xff, "ERROR: failed to create freeze fs thread for %s", device);
        return attempt::done;
    }
    timespec deadline = deadline_in(2);
    int rc = pthread_timedjoin_np(thread, nullptr, &deadline);
    if (rc == 0) {
        *st = task->status;
        task->unref();
        result = st->code;
        return attempt::done;
    }
    if (rc == EINVAL) {
        pthread_join(thread, nullptr);
        *st = task->status;
        task->unref();
        result = EINVAL;
        qvctl_status_set(st, rc & 0xff, "ERROR: ALERT: wrong format of timeout for %s", device);
        return attempt::done;
    }
    if (rc != ETIMEDOUT) {
        give_up(thread, task);
        result = rc;
        return attempt::done;
    }
    // The kernel refuses the thaw (EINVAL) while the freeze still waits for writers to drain.
    if (::ioctl(dir_fd, FITHAW, 0) != 0) {
        int err = errno;
        give_up(thread, task);
        result = qvctl_status_set(st, err, "FITHAW ioctl failed for device %s", device);
        return attempt::done;
    }
    pthread_join(thread, nullptr);
    *st = task->status;
    task->unref();
    result = ETIMEDOUT;
    return attempt::again;
}

// The folder the device is mounted on, opened; 0 with no descriptor when it is not mounted.
int mount_dir_open(const char *device, qv::unique_fd &dir, qvctl_status *st)
{
    char mount_point[4096];
    if (int r = mount_point_get(device, mount_point, sizeof mount_point); r != 0)
        return r == -2 ? 0 : qvctl_status_set(st, r, "ERROR: Failed to find mount point for %s", device);
    dir.reset(::open(mount_point, O_RDONLY | O_CLOEXEC));
    if (!dir)
        return qvctl_status_set(st, errno, "ERROR: Failed to open %s", mount_point);
    return 0;
}

}  // namespace

extern "C" void *freeze_worker(void *arg)
{
    auto *job = static_cast<freeze_job *>(arg);
    qvctl_status_set(job->status, 0, "%s", "");
    int one = 1;
    if (::ioctl(job->fd, FIFREEZE, &one) != 0)
        qvctl_status_set(job->status, errno, "FIFREEZE ioctl failed for device %s", job->device);
    return nullptr;
}

extern "C" int fs_freeze(const char *device, qvctl_status *caller)
{
    qvctl_status own{};
    qvctl_status *st = caller ? caller : &own;
    qvctl_status_set(st, 0, "%s", "");
    qv::unique_fd dir;
    if (int r = mount_dir_open(device, dir, st); r != 0 || !dir)
        return r;
    int result = ETIMEDOUT;
    for (int tries = 1; tries <= 10; ++tries)
        if (freeze_attempt(dir.get(), device, st, result) == attempt::done)
            break;
    return result;
}

extern "C" int fs_thaw(const char *device, qvctl_status *st)
{
    qv::unique_fd dir;
    if (int r = mount_dir_open(device, dir, st); r != 0 || !dir)
        return r;
    if (::ioctl(dir.get(), FITHAW, 0) != 0)
        return qvctl_status_set(st, errno, "FITHAW ioctl failed for device %s", device);
    return 0;
}
