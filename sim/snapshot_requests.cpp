// SPDX-License-Identifier: GPL-2.0-or-later
// Snapshot requests: start (at a consistent point), complete or cancel, and the device's name.
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "requests.h"

namespace qvsim {
namespace {

// The mount point of a device, for the freeze around a snapshot switch.
std::string mount_point(dev_t rdev)
{
    std::string found;
    FILE *f = ::setmntent("/proc/mounts", "r");
    if (!f)
        return found;
    while (mntent *m = ::getmntent(f)) {
        struct stat sb {};
        if (::stat(m->mnt_fsname, &sb) == 0 && S_ISBLK(sb.st_mode) && sb.st_rdev == rdev) {
            found = m->mnt_dir;
            break;
        }
    }
    ::endmntent(f);
    return found;
}

}  // namespace

std::string snapshot_name(const device &dev)
{
    if (!dev.snap)
        return "";
    auto slash = dev.snap->loop.rfind('/');
    return dev.snap->loop.substr(slash + 1);
}

void snapshot_drop(device &dev, bool merge)
{
    auto s = std::move(dev.snap);
    if (!s)
        return;
    {
        std::lock_guard lock(global().mu);
        global().snaps.erase(s->index);
        if (merge)
            dev.changelog.insert(s->changelog.begin(), s->changelog.end());
    }
    if (!s->loop.empty())
        run_out("losetup -d " + s->loop + " 2>&1");
    ::close(s->cow_fd);
    ::unlink((std::string(data_dir) + "/snap" + std::to_string(s->index) + ".cow").c_str());
    log_line("snapshot %d of %s dropped (%s)", s->index, dev.path.c_str(), merge ? "cancel" : "complete");
}

int snapshot_start(device &dev, const blockref &r)
{
    if (!dev.stores[0].mapped)
        return E_NO_CHANGELOG;
    if (!dev.stores[1].mapped)
        return E_NO_DATA;
    if (!dev.stores[2].mapped)
        return E_NO_METADATA;
    if (dev.snap)
        return E_IN_PROGRESS;
    auto s = std::make_unique<snapshot>();
    s->index = global().next_snap++;
    std::string cow = std::string(data_dir) + "/snap" + std::to_string(s->index) + ".cow";
    s->cow_fd = ::open(cow.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (s->cow_fd < 0)
        return errno;
    s->preserved.assign((dev.sectors * 512 + block_bytes - 1) / block_bytes, false);
    bool lib_freezes = dev.fs_type == 5 || (dev.fs_type == 4 && (dev.attach_flags & 2));
    int frozen = -1;
    std::string mp = lib_freezes ? "" : mount_point(dev.rdev);
    if (!mp.empty()) {
        frozen = ::open(mp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (frozen >= 0 && ::ioctl(frozen, FIFREEZE, 0) != 0) {
            ::close(frozen);
            frozen = -1;  // EBUSY: already frozen by the caller, which is consistent enough
        }
    }
    snapshot *raw = s.get();
    {
        std::lock_guard lock(global().mu);
        s->changelog.swap(dev.changelog);
        // A module that lost track of some writes: the lowest changed blocks go unlisted, and
        // completing the snapshot forgets them for good.
        for (auto n = global().quirk.changelog_omit; n > 0 && !s->changelog.empty(); --n)
            s->changelog.erase(s->changelog.begin());
        dev.snap = std::move(s);
        global().snaps[raw->index] = raw;
    }
    if (frozen >= 0) {
        ::ioctl(frozen, FITHAW, 0);
        ::close(frozen);
    }
    std::string file = std::string(fs_dir) + "/snap" + std::to_string(raw->index);
    std::string loop = run_out("losetup -r -f --show " + file + " 2>/dev/null");
    while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' '))
        loop.pop_back();
    if (loop.rfind("/dev/", 0) != 0) {
        snapshot_drop(dev, true);
        return EIO;
    }
    raw->loop = loop;
    run_out("echo " + loop + " >> " + loops_path);
    r.text(137, 128, snapshot_name(dev), global().quirk.unterminated);
    log_line("snapshot %d of %s on %s", raw->index, dev.path.c_str(), loop.c_str());
    return 0;
}

int snapshot_end(device &dev, const blockref &r)
{
    if (!dev.snap)
        return E_NO_SNAPSHOT;
    snapshot_drop(dev, r.get<std::uint8_t>(136) != 0);
    return 0;
}

int snapshot_get(device &dev, const blockref &r)
{
    if (!dev.snap)
        return E_NO_SNAPSHOT;
    r.text(136, 128, snapshot_name(dev), global().quirk.unterminated);
    return 0;
}

}  // namespace qvsim
