// SPDX-License-Identifier: GPL-2.0-or-later
// A point mounted read-only through a loop device that detaches itself at the unmount. The latest
// point is the image itself; an older one is a clone of the image (sharing its blocks, so it costs
// only the delta blocks written into it) under REPO/mounts, removed again by the unmount.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "block_io.h"
#include "repo_restore.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

constexpr const char *clones = "mounts";
constexpr int loop_attempts = 8;

struct fs_options {
    const char *type, *options;
};
// An image is read-only: its journal is not replayed, and a clone shares its filesystem's UUID
// with the device it was taken from, which may be mounted too.
constexpr fs_options mount_options[] = {
    {"xfs", "norecovery,nouuid"}, {"ext4", "noload"}, {"ext3", "noload"}, {"btrfs", "nologreplay"},
};

const char *options_of(const std::string &type)
{
    for (const fs_options &o : mount_options)
        if (type == o.type)
            return o.options;
    return "";
}

int loop_attach(int backing, const std::string &name, std::string &device, qv::unique_fd &held, qvctl_status &st)
{
    qv::unique_fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control)
        return qvctl_status_set(&st, errno, "ERROR: could not open /dev/loop-control: %s", std::strerror(errno));
    for (int attempt = 0; attempt < loop_attempts; ++attempt) {
        const int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (n < 0)
            return qvctl_status_set(&st, errno, "ERROR: no free loop device: %s", std::strerror(errno));
        device = "/dev/loop" + std::to_string(n);
        held.reset(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
        if (!held)
            continue;
        loop_config config{};
        config.fd = static_cast<__u32>(backing);
        config.info.lo_flags = LO_FLAGS_READ_ONLY | LO_FLAGS_AUTOCLEAR;
        std::snprintf(reinterpret_cast<char *>(config.info.lo_file_name), sizeof config.info.lo_file_name, "%s",
                      name.c_str());
        if (::ioctl(held.get(), LOOP_CONFIGURE, &config) == 0)
            return 0;
        if (errno != EBUSY)
            return qvctl_status_set(&st, errno, "ERROR: could not set up %s over %s: %s", device.c_str(),
                                    name.c_str(), std::strerror(errno));
    }
    return qvctl_status_set(&st, EBUSY, "ERROR: every free loop device was taken by another program meanwhile");
}

// The clone of the image for an older point, with the deltas from the newest down to its own.
int clone_make(const repo &r, const chain_record &p, const std::string &name, qvctl_status &st)
{
    if (::mkdirat(r.dir.get(), clones, 0700) != 0 && errno != EEXIST)
        return qvctl_status_set(&st, errno, "ERROR: could not create %s: %s", r.file(clones).c_str(),
                                std::strerror(errno));
    qv::unique_fd image, clone;
    if (int e = repo_file_open(r, r.dir.get(), "image", O_RDONLY, image))
        return qvctl_status_set(&st, e, "ERROR: could not open %s: %s", r.file("image").c_str(), std::strerror(e));
    const std::string rel = std::string(clones) + "/" + std::to_string(p.point) + ".img";
    if (int e = repo_file_open(r, r.dir.get(), rel, O_RDWR | O_CREAT | O_EXCL, clone)) {
        if (e == EEXIST)
            return qvctl_status_set(&st, e, "ERROR: point %llu of %s is mounted already (%s exists)",
                                    static_cast<ull>(p.point), r.path.c_str(), name.c_str());
        return qvctl_status_set(&st, e, "ERROR: could not create %s: %s", name.c_str(), std::strerror(e));
    }
    if (::ioctl(clone.get(), FICLONE, image.get()) != 0) {
        const int e = errno;
        ::unlinkat(r.dir.get(), rel.c_str(), 0);
        const ull bytes = r.latest()->sectors * 512;
        return qvctl_status_set(&st, EOPNOTSUPP,
                                "ERROR: the filesystem of %s does not clone files (%s), so point %llu cannot be mounted "
                                "in place; a full copy of %llu bytes can: qvctl repo restore %s@%llu FILE, then mount "
                                "FILE read-only",
                                r.path.c_str(), std::strerror(e), static_cast<ull>(p.point), bytes, r.path.c_str(),
                                static_cast<ull>(p.point));
    }
    const std::uint64_t size = r.latest()->sectors * 512;
    point_scan scan(r, p.point);
    scan.read_image = false;
    scan.delta_block = [&](std::uint64_t block, bool zero, const unsigned char *data, qvctl_status &ws) {
        return blocks_write(clone.get(), size, block, 1, data, zero, true, name, ws);
    };
    int e = scan.run(st);
    if (!e && ::fsync(clone.get()) != 0)
        e = qvctl_status_set(&st, errno, "ERROR: could not put %s on the disk: %s", name.c_str(), std::strerror(errno));
    if (e)
        ::unlinkat(r.dir.get(), rel.c_str(), 0);
    return e;
}

std::string text_of(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The mount table's octal escapes undone.
std::string unescape(const std::string &s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The source of the filesystem mounted at `dir`, or "".
std::string mounted_source(const std::string &dir)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string found;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string id, parent, devno, root, point, w;
        words >> id >> parent >> devno >> root >> point;
        if (unescape(point) != dir)
            continue;
        while (words >> w && w != "-") {
        }
        std::string type, source;
        words >> type >> source;
        found = unescape(source);  // the last mount at a point is the one seen there
    }
    return found;
}

}  // namespace

int repo_mount(const std::string &path, std::uint64_t point, const std::string &dir, std::string &device,
               qvctl_status &st)
{
    repo r;
    if (int e = repo_open(r, path, repo_access::write))
        return st = r.st, e;
    const chain_record *p = point_find(r, point, st);
    if (!p)
        return st.code;
    const bool latest = p == r.latest();
    const std::string rel = latest ? "image" : std::string(clones) + "/" + std::to_string(p->point) + ".img";
    const std::string backing_name = r.file(rel);
    if (!latest)
        if (int e = clone_make(r, *p, backing_name, st))
            return e;
    const auto undo = [&](int code) {
        if (!latest)
            ::unlinkat(r.dir.get(), rel.c_str(), 0);
        return code;
    };
    qv::unique_fd backing, held;
    if (int e = repo_file_open(r, r.dir.get(), rel, O_RDONLY, backing))
        return undo(qvctl_status_set(&st, e, "ERROR: could not open %s: %s", backing_name.c_str(), std::strerror(e)));
    if (int e = loop_attach(backing.get(), backing_name, device, held, st))
        return undo(e);
    char *type = blkid_get_tag_value(nullptr, "TYPE", device.c_str());
    const std::string fs = type ? type : "";
    std::free(type);
    if (fs.empty())
        return undo(qvctl_status_set(&st, EINVAL, "ERROR: point %llu of %s holds no filesystem that can be mounted",
                                     static_cast<ull>(p->point), r.path.c_str()));
    if (::mount(device.c_str(), dir.c_str(), fs.c_str(), MS_RDONLY | MS_NODEV | MS_NOSUID, options_of(fs)) != 0)
        return undo(qvctl_status_set(&st, errno, "ERROR: could not mount point %llu of %s (%s on %s) at %s: %s",
                                     static_cast<ull>(p->point), r.path.c_str(), fs.c_str(), device.c_str(),
                                     dir.c_str(), std::strerror(errno)));
    return 0;
}

int repo_umount(const std::string &dir, qvctl_status &st)
{
    char real[PATH_MAX];
    if (!::realpath(dir.c_str(), real))
        return qvctl_status_set(&st, errno, "ERROR: %s: %s", dir.c_str(), std::strerror(errno));
    const std::string source = mounted_source(real);
    const std::string loop = source.rfind("/dev/loop", 0) == 0 ? source.substr(5) : "";
    const std::string backing = loop.empty() ? "" : text_of("/sys/block/" + loop + "/loop/backing_file");
    if (::umount2(real, 0) != 0)
        return qvctl_status_set(&st, errno, "ERROR: could not unmount %s: %s", real, std::strerror(errno));
    // A clone made for the mount goes with it; the image itself stays.
    const std::string folder = backing.substr(0, backing.rfind('/'));
    struct stat sb;
    if (folder.size() > std::strlen(clones) && folder.ends_with(std::string("/") + clones) &&
        ::stat((folder.substr(0, folder.rfind('/')) + "/manifest").c_str(), &sb) == 0)
        ::unlink(backing.c_str());
    return 0;
}

}  // namespace qvctl_cli
