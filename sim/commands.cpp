// SPDX-License-Identifier: GPL-2.0-or-later
// Commands of `qvsim` served by the daemon: disks, faults, quirks, dump.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "paths.h"
#include "size_text.h"
#include "requests.h"

namespace qvsim {
namespace {

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Disks are whole sectors and at least 1 MiB.
bool parse_size(const std::string &t, std::uint64_t &bytes)
{
    std::uint64_t v = 0;
    if (!qv::size_parse(t.c_str(), v) || v < 1u << 20 || v % 512 != 0)
        return false;
    bytes = v;
    return true;
}

// Unmounts whatever is mounted from one of our block devices, so that its loop can go.
void unmount_from(const std::string &dev)
{
    std::ifstream mounts("/proc/mounts");
    std::string src, dir, rest;
    std::vector<std::string> dirs;
    while (mounts >> src >> dir && std::getline(mounts, rest))
        if (src == dev)
            dirs.push_back(dir);
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it)
        run_out("umount " + *it + " 2>/dev/null || umount -l " + *it + " 2>/dev/null");
}

dev_t rdev_of(const std::string &path)
{
    struct stat sb {};
    return ::stat(path.c_str(), &sb) == 0 ? sb.st_rdev : 0;
}

void disk_drop(disk &d);

int disk_create(std::istringstream &in, std::string &out)
{
    std::string size_text, opt;
    std::uint64_t bytes = 0, part_start = 0;
    in >> size_text;
    if (!parse_size(size_text, bytes)) {
        out = (size_text.empty() ? "disk create needs a SIZE" : "bad size: " + size_text) +
              " (bytes, or a number with K, M, G or T; at least 1M, in whole sectors)\n";
        return EINVAL;
    }
    bool part = false;
    if (in >> opt) {
        if (opt != "--partition") {
            out = "unknown option: " + opt + " (--partition START_SECTOR)\n";
            return EINVAL;
        }
        if (!(in >> part_start) || part_start == 0 || part_start >= bytes / 512) {
            out = "--partition needs a start sector from 1 to " + std::to_string(bytes / 512 - 1) + "\n";
            return EINVAL;
        }
        part = true;
    }
    auto d = std::make_unique<disk>();
    disk *raw = d.get();
    {
        std::lock_guard lock(global().mu);
        d->index = global().next_disk++;
    }
    std::string img = std::string(data_dir) + "/disk" + std::to_string(d->index) + ".img";
    d->backing_fd = ::open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0600);
    if (d->backing_fd < 0 || ::ftruncate(d->backing_fd, static_cast<off_t>(bytes)) != 0) {
        out = "cannot create " + img + ": " + std::strerror(errno) + "\n";
        if (d->backing_fd >= 0)
            ::close(d->backing_fd);
        ::unlink(img.c_str());
        return EIO;
    }
    d->bytes = bytes;
    {
        std::lock_guard lock(global().mu);
        global().disks[raw->index] = std::move(d);
    }
    std::string file = std::string(fs_dir) + "/disk" + std::to_string(raw->index);
    // Direct I/O hands the server each request whole; buffered, the loop driver reads and writes
    // page by page, a round trip per 4 KiB (ten times slower in a guest kernel).
    raw->loop = trim(run_out("losetup --direct-io=on -f --show " + file + " 2>&1"));
    if (raw->loop.rfind("/dev/", 0) != 0) {
        out = "losetup failed: " + raw->loop + "\n";
        raw->loop.clear();
        disk_drop(*raw);
        return EIO;
    }
    run_out("echo " + raw->loop + " >> " + loops_path);
    raw->whole_rdev = rdev_of(raw->loop);
    if (part) {
        run_out("echo '" + std::to_string(part_start) + ",,L' | sfdisk -q --no-reread --no-tell-kernel --label dos " +
                raw->loop + " 2>&1");
        run_out("partx -a " + raw->loop + " 2>&1");
        raw->partition = raw->loop + "p1";
        std::string name = raw->partition.substr(5);
        for (int i = 0; i < 40 && !rdev_of(raw->partition); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream sz("/sys/class/block/" + name + "/size"), st("/sys/class/block/" + name + "/start");
        sz >> raw->part_sectors;
        st >> raw->part_start;
        raw->part_rdev = rdev_of(raw->partition);
        if (!raw->part_rdev || raw->part_sectors == 0) {
            out = "partition " + raw->partition + " did not appear\n";
            disk_drop(*raw);
            return EIO;
        }
    }
    log_line("disk %d: %s %llu bytes%s", raw->index, raw->loop.c_str(), static_cast<unsigned long long>(bytes),
             part ? (" partition " + raw->partition).c_str() : "");
    out = (part ? raw->partition : raw->loop) + "\n";
    return 0;
}

void disk_drop(disk &d)
{
    std::vector<device *> on;
    for (auto &[r, dev] : global().devices)
        if (dev->on == &d)
            on.push_back(dev.get());
    for (device *dev : on) {
        if (dev->snap) {
            unmount_from(dev->snap->loop);
            snapshot_drop(*dev, true);
        }
        std::lock_guard lock(global().mu);
        global().devices.erase(dev->rdev);
    }
    if (!d.loop.empty()) {
        if (!d.partition.empty()) {
            unmount_from(d.partition);
            run_out("partx -d " + d.loop + " 2>&1");
        }
        unmount_from(d.loop);
        run_out("losetup -d " + d.loop + " 2>&1");
    }
    ::close(d.backing_fd);
    ::unlink((std::string(data_dir) + "/disk" + std::to_string(d.index) + ".img").c_str());
    log_line("disk %d removed", d.index);
    std::lock_guard lock(global().mu);
    global().disks.erase(d.index);
}

int disk_remove(std::istringstream &in, std::string &out)
{
    std::string dev;
    in >> dev;
    for (auto &[i, d] : global().disks)
        if (d->loop == dev || (!d->partition.empty() && d->partition == dev)) {
            disk_drop(*d);
            return 0;
        }
    out = dev.empty() ? "disk remove needs a device\n" : "not a disk of ours: " + dev + "\n";
    return ENODEV;
}

// The quirks that are plain switches, by the names `qvsim quirk` and `dump` use.
constexpr std::pair<bool quirks::*, const char *> switches[] = {
    {&quirks::overcount, "overcount"},
    {&quirks::unterminated, "unterminated"},
    {&quirks::changelog_twice, "changelog-twice"},
    {&quirks::changelog_excess, "changelog-excess"},
    {&quirks::no_fs_type, "no-fs-type"},
};

// The quirks that take a number, and what the number is.
struct valued_quirk {
    const char *name, *needs;
    void (*set)(quirks &, std::uint64_t);
};
constexpr valued_quirk valued[] = {
    {"eio-from", "a sector", [](quirks &q, std::uint64_t v) { q.eio_from = v; }},
    {"slow-reads", "microseconds", [](quirks &q, std::uint64_t v) { q.slow_reads_us = v; }},
    {"changelog-omit", "a number of blocks", [](quirks &q, std::uint64_t v) { q.changelog_omit = v; }},
};

int quirk(std::istringstream &in, std::string &out)
{
    std::string name;
    in >> name;
    auto &q = global().quirk;
    std::lock_guard lock(global().mu);
    if (name == "clear") {
        q = quirks{};
        return 0;
    }
    for (auto [member, known] : switches)
        if (name == known) {
            q.*member = true;
            return 0;
        }
    for (const valued_quirk &v : valued)
        if (name == v.name) {
            std::uint64_t value = 0;
            if (!(in >> value)) {
                out = std::string(v.name) + " needs " + v.needs + "\n";
                return EINVAL;
            }
            v.set(q, value);
            return 0;
        }
    out = (name.empty() ? "quirk needs a name" : "unknown quirk: " + name) +
          " (overcount, unterminated, changelog-twice, changelog-excess, no-fs-type, eio-from SECTOR,"
          " slow-reads MICROSECONDS, changelog-omit BLOCKS, clear)\n";
    return EINVAL;
}

int fault(std::istringstream &in, std::string &out)
{
    std::string first;
    in >> first;
    if (first == "clear") {
        global().faults.clear();
        return 0;
    }
    char *end = nullptr;
    unsigned long nr = std::strtoul(first.c_str(), &end, 0);
    int value = 0, count = 1;
    if (*end || nr > 14 || !(in >> value) || value <= 0) {
        out = "usage: fault NR VALUE [COUNT] | fault clear\n";
        return EINVAL;
    }
    if (!(in >> count))
        count = 1;
    global().faults[static_cast<std::uint32_t>(nr)] = {value, count < 1 ? 1 : count};
    return 0;
}

}  // namespace

// Lines (each stable, as tests read them):
//   disk N LOOP bytes B [partition P start S] [watching]
//   device PATH fs F flags A changed C metadata-extents M [snapshot LOOP snapshot-changed K]
//     metadata FIRST COUNT                                  (--extents)
//     store KIND mapped|open param P flags F extents E sectors S
//       batches N flags F1,F2,... extents E1,E2,...         (each store-map request taken)
//       extent FIRST COUNT                                  (--extents)
//   fault NR VALUE xCOUNT
//   quirk NAME [SECTOR]
std::string dump_text(bool extents)
{
    std::ostringstream o;
    std::lock_guard lock(global().mu);
    for (auto &[i, d] : global().disks)
        o << "disk " << i << " " << d->loop << " bytes " << d->bytes
          << (d->partition.empty() ? "" : " partition " + d->partition + " start " + std::to_string(d->part_start))
          << (d->watching ? " watching" : "") << "\n";
    static constexpr const char *kinds[] = {"changelog", "data", "metadata"};
    for (auto &[r, dev] : global().devices) {
        o << "device " << dev->path << " fs " << dev->fs_type << " flags " << unsigned(dev->attach_flags)
          << " changed " << dev->changelog.size() << " metadata-extents " << dev->metadata.size();
        if (dev->snap)
            o << " snapshot " << dev->snap->loop << " snapshot-changed " << dev->snap->changelog.size();
        o << "\n";
        for (std::size_t i = 0; extents && i < dev->metadata.size(); ++i)
            o << "  metadata " << dev->metadata[i].first << " " << dev->metadata[i].count << "\n";
        for (int k = 0; k < 3; ++k) {
            const store &s = dev->stores[k];
            if (!s.open && !s.mapped)
                continue;
            std::uint64_t total = 0;
            for (auto &e : s.extents)
                total += e.count;
            o << "  store " << kinds[k] << (s.mapped ? " mapped" : " open") << " param " << s.param << " flags "
              << s.flags << " extents " << s.extents.size() << " sectors " << total << "\n";
            std::string flags, counts;
            for (auto &b : s.batches) {
                flags += (flags.empty() ? "" : ",") + std::to_string(b.flags);
                counts += (counts.empty() ? "" : ",") + std::to_string(b.count);
            }
            o << "    batches " << s.batches.size() << " flags " << flags << " extents " << counts << "\n";
            for (std::size_t i = 0; extents && i < s.extents.size(); ++i)
                o << "    extent " << s.extents[i].first << " " << s.extents[i].count << "\n";
        }
    }
    for (auto &[nr, f] : global().faults)
        o << "fault " << nr << " " << f.first << " x" << f.second << "\n";
    const quirks &q = global().quirk;
    for (auto [member, name] : switches)
        if (q.*member)
            o << "quirk " << name << "\n";
    if (q.eio_from)
        o << "quirk eio-from " << *q.eio_from << "\n";
    if (q.slow_reads_us)
        o << "quirk slow-reads " << q.slow_reads_us << "\n";
    if (q.changelog_omit)
        o << "quirk changelog-omit " << q.changelog_omit << "\n";
    return o.str();
}

void teardown()
{
    while (!global().disks.empty())
        disk_drop(*global().disks.begin()->second);
}

int handle_command(const std::string &line, std::string &out)
{
    std::istringstream in(line);
    std::string verb, sub;
    in >> verb;
    if (verb == "disk") {
        in >> sub;
        if (sub == "create")
            return disk_create(in, out);
        if (sub == "remove")
            return disk_remove(in, out);
    }
    if (verb == "fault")
        return fault(in, out);
    if (verb == "quirk")
        return quirk(in, out);
    if (verb == "dump") {
        std::string opt;
        in >> opt;
        if (!opt.empty() && opt != "--extents") {
            out = "usage: dump [--extents]\n";
            return EINVAL;
        }
        out = dump_text(opt == "--extents");
        return 0;
    }
    if (verb == "ping")
        return 0;
    out = verb == "disk" ? "usage: disk create SIZE [--partition START_SECTOR] | disk remove DEV\n"
                         : "unknown command: " + line + "\n";
    return EINVAL;
}

}  // namespace qvsim
