// The fifteen requests of the control device, answered as the module would.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "state.h"

namespace qvsim {

std::string run_out(const std::string &cmd);  // commands.cpp

namespace {

constexpr std::uint32_t api_version = 11, min_size = 528;
constexpr const char *fs_names[] = {"unknown", "ext2", "ext3", "ext4", "xfs", "btrfs", "vfat"};
enum : int { E_VERSION = 700, E_IN_PROGRESS = 701, E_NO_SNAPSHOT = 702, E_NO_CHANGELOG = 706,
             E_NO_DATA = 707, E_NO_METADATA = 709, E_DATA_SIZE = 711 };

struct blockref {
    std::string &b;
    template <class T> T get(std::size_t off) const
    {
        T v{};
        if (off + sizeof v <= b.size())
            std::memcpy(&v, b.data() + off, sizeof v);
        return v;
    }
    template <class T> void put(std::size_t off, T v) const
    {
        if (off + sizeof v <= b.size())
            std::memcpy(b.data() + off, &v, sizeof v);
    }
    void text(std::size_t off, std::size_t width, const std::string &s, bool unterminated = false) const
    {
        if (off >= b.size())
            return;
        width = std::min(width, b.size() - off);
        std::memset(b.data() + off, unterminated ? 'x' : 0, width);
        std::memcpy(b.data() + off, s.data(), std::min(s.size(), unterminated ? width : width - 1));
    }
    std::size_t room(std::size_t at, std::size_t item) const { return b.size() > at ? (b.size() - at) / item : 0; }
    std::string path(std::size_t off) const
    {
        if (off >= b.size())
            return {};
        return std::string(b.data() + off, strnlen(b.data() + off, std::min<std::size_t>(128, b.size() - off)));
    }
};

// Resolves a device path to an emulated disk or partition: rdev, disk, start and length in sectors.
bool resolve(const std::string &path, dev_t &rdev, disk *&d, std::uint64_t &start, std::uint64_t &sectors)
{
    char real[PATH_MAX];
    struct stat sb {};
    if (path.empty() || !::realpath(path.c_str(), real) || ::stat(real, &sb) != 0 || !S_ISBLK(sb.st_mode))
        return false;
    for (auto &[i, dk] : global().disks) {
        if (dk->whole_rdev == sb.st_rdev) {
            rdev = sb.st_rdev, d = dk.get(), start = 0, sectors = dk->bytes / 512;
            return true;
        }
        if (!dk->partition.empty() && dk->part_rdev == sb.st_rdev) {
            rdev = sb.st_rdev, d = dk.get(), start = dk->part_start, sectors = dk->part_sectors;
            return true;
        }
    }
    return false;
}

bool inside(const disk &d, const extent &e) { return e.first <= d.bytes / 512 && e.count <= d.bytes / 512 - e.first; }

std::string snapshot_name(const device &dev)
{
    if (!dev.snap)
        return "";
    auto slash = dev.snap->loop.rfind('/');
    return dev.snap->loop.substr(slash + 1);
}

std::uint32_t state_word(const device &dev)
{
    return (dev.stores[0].mapped ? 1u : 0u) | (dev.stores[2].mapped ? 2u : 0u) | (dev.stores[1].mapped ? 4u : 0u) |
           (dev.snap ? 8u : 0u);
}

void fill_record(const blockref &r, std::size_t at, const device &dev)
{
    bool raw = global().quirk.unterminated;
    r.text(at, 128, dev.path, raw);
    r.text(at + 128, 128, snapshot_name(dev), raw);
    r.text(at + 256, 128, dev.snap ? "snapshot" : "idle", raw);
    r.text(at + 384, 128, fs_names[dev.fs_type < 7 ? dev.fs_type : 0], raw);
    r.put<std::uint32_t>(at + 512, state_word(dev));
}

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

std::vector<extent> runs(const std::set<std::uint64_t> &blocks, std::uint64_t after_sector, bool use_after)
{
    std::vector<extent> out;
    for (auto blk : blocks) {
        if (use_after && blk * 8 <= after_sector)
            continue;
        if (!out.empty() && out.back().first / 8 + out.back().count == blk)
            ++out.back().count;
        else
            out.push_back({blk * 8, 1});
    }
    return out;
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

int changelog(device &dev, const blockref &r)
{
    auto &q = global().quirk;
    std::lock_guard lock(global().mu);
    const auto &blocks = dev.snap ? dev.snap->changelog : dev.changelog;
    auto start = r.get<std::uint64_t>(136);
    auto cap = r.get<std::uint32_t>(144);
    if (cap == 0) {
        auto n = static_cast<std::uint32_t>(blocks.size());
        r.put<std::uint32_t>(144, q.changelog_excess && n ? n - 1 : n);
        return 0;
    }
    auto all = runs(blocks, start, start > 0);
    if (q.changelog_twice && !all.empty())
        all.insert(all.begin(), all.front());
    std::size_t n = std::min<std::size_t>({all.size(), cap, r.room(152, 16)});
    for (std::size_t i = 0; i < n; ++i) {
        r.put<std::uint64_t>(152 + 16 * i, all[i].first);
        r.put<std::uint64_t>(160 + 16 * i, all[i].count);
    }
    r.put<std::uint32_t>(144, static_cast<std::uint32_t>(q.overcount ? n + 1000 : n));
    return 0;
}

int store_map(device &dev, const blockref &r)
{
    auto kind = r.get<std::uint32_t>(136);
    auto n = r.get<std::uint32_t>(144);
    auto flags = r.get<std::uint32_t>(148);
    if (kind > 2 || n > r.room(152, 16))
        return EINVAL;
    store &s = dev.stores[kind];
    if (flags & 1) {
        if (s.open || s.mapped)
            return EEXIST;
        s = store{};
        s.open = true;
        s.param = r.get<std::uint32_t>(140);
        s.flags = flags & ~7u;
    } else if (!(flags & 6) || !s.open) {
        return EINVAL;  // a later batch with nothing open, or no batch bit at all
    }
    std::vector<extent> add;
    for (std::uint32_t i = 0; i < n; ++i) {
        extent e{r.get<std::uint64_t>(152 + 16 * i), r.get<std::uint64_t>(160 + 16 * i)};
        if (!inside(*dev.on, e)) {
            if (flags & 1)
                s = store{};
            return EINVAL;
        }
        add.push_back(e);
    }
    s.extents.insert(s.extents.end(), add.begin(), add.end());
    s.batches.push_back({flags, n});
    if (flags & 4) {
        std::uint64_t total = 0;
        for (auto &e : s.extents)
            total += e.count;
        if (kind == 1 && total == 0) {
            s = store{};
            return E_DATA_SIZE;
        }
        s.open = false;
        s.mapped = true;
    }
    return 0;
}

int kernel_extents(disk &d, const blockref &r)
{
    auto phase = r.get<std::uint32_t>(136);
    std::lock_guard lock(global().mu);
    switch (phase) {
    case 0:
        if (d.watching)
            return EBUSY;
        d.watching = true;
        d.marks.clear();
        d.found.clear();
        return 0;
    case 1: {
        if (!d.watching)
            return EIO;
        d.watching = false;
        d.found.clear();
        for (auto sec : d.marks) {
            if (!d.found.empty() && d.found.back().first + d.found.back().count == sec)
                ++d.found.back().count;
            else
                d.found.push_back({sec, 1});
        }
        d.marks.clear();
        if (d.found.empty())
            return EIO;
        r.put<std::uint32_t>(140, static_cast<std::uint32_t>(d.found.size()));
        return 0;
    }
    case 2: {
        if (d.found.empty())
            return EIO;
        std::size_t n = std::min(d.found.size(), r.room(144, 16));
        for (std::size_t i = 0; i < n; ++i) {
            r.put<std::uint64_t>(144 + 16 * i, d.found[i].first);
            r.put<std::uint64_t>(152 + 16 * i, d.found[i].count);
        }
        r.put<std::uint32_t>(140, static_cast<std::uint32_t>(global().quirk.overcount ? n + 1000 : n));
        return 0;
    }
    case 3:
        d.watching = false;
        d.marks.clear();
        d.found.clear();
        return 0;
    }
    return EINVAL;
}

int store_extents(device &dev, const blockref &r)
{
    auto kind = r.get<std::uint32_t>(136);
    if (kind > 2)
        return EINVAL;
    const auto &ex = dev.stores[kind].extents;
    std::size_t n = std::min(ex.size(), r.room(152, 16));
    for (std::size_t i = 0; i < n; ++i) {
        r.put<std::uint64_t>(152 + 16 * i, ex[i].first);
        r.put<std::uint64_t>(160 + 16 * i, ex[i].count);
    }
    r.put<std::uint32_t>(144, static_cast<std::uint32_t>(ex.size() + (global().quirk.overcount ? 1000 : 0)));
    return 0;
}

int attach(const blockref &r, const std::string &path)
{
    dev_t rdev{};
    disk *d = nullptr;
    std::uint64_t start = 0, sectors = 0;
    if (!resolve(path, rdev, d, start, sectors))
        return ENXIO;
    if (global().devices.count(rdev))
        return EEXIST;
    auto dev = std::make_unique<device>();
    dev->path = path, dev->rdev = rdev, dev->on = d, dev->start = start, dev->sectors = sectors;
    dev->fs_type = r.get<std::uint32_t>(136);
    dev->attach_flags = r.get<std::uint8_t>(140);
    auto n = r.get<std::uint32_t>(144);
    if (n > r.room(152, 16))
        return EINVAL;
    for (std::uint32_t i = 0; i < n; ++i) {
        extent e{r.get<std::uint64_t>(152 + 16 * i), r.get<std::uint64_t>(160 + 16 * i)};
        if (!inside(*d, e))
            return EINVAL;
        dev->metadata.push_back(e);
    }
    std::lock_guard lock(global().mu);
    global().devices[rdev] = std::move(dev);
    log_line("attached %s", path.c_str());
    return 0;
}

int device_list(const blockref &r)
{
    auto &devs = global().devices;
    auto count = r.get<std::uint32_t>(8);
    auto n = static_cast<std::uint32_t>(devs.size());
    if (count == 0xFFFFFFFFu) {
        r.put<std::uint32_t>(8, global().quirk.overcount ? n + 1000 : n);
        return 0;
    }
    if (count < n)
        return EAGAIN;
    std::size_t i = 0, room = r.room(12, 516);
    for (auto &[rdev, dev] : devs) {
        if (i >= room)
            break;
        fill_record(r, 12 + 516 * i++, *dev);
    }
    r.put<std::uint32_t>(8, global().quirk.overcount ? n + 1000 : n);
    return 0;
}

int on_device(std::uint32_t nr, device &dev, const blockref &r)
{
    switch (nr) {
    case 1:
        if (dev.snap)
            return E_IN_PROGRESS;
        {
            std::lock_guard lock(global().mu);
            global().devices.erase(dev.rdev);
        }
        return 0;
    case 2:
        fill_record(r, 8, dev);
        return 0;
    case 4:
        return snapshot_start(dev, r);
    case 5:
        if (!dev.snap)
            return E_NO_SNAPSHOT;
        snapshot_drop(dev, r.get<std::uint8_t>(136) != 0);
        return 0;
    case 6:
        if (!dev.snap)
            return E_NO_SNAPSHOT;
        r.text(136, 128, snapshot_name(dev), global().quirk.unterminated);
        return 0;
    case 7:
        return changelog(dev, r);
    case 8:
        return store_map(dev, r);
    case 9:
        if (!dev.stores[1].mapped)
            return E_NO_DATA;
        if (dev.snap)
            return E_IN_PROGRESS;
        dev.stores[1] = store{};
        return 0;
    case 11:
        return store_extents(dev, r);
    case 12:
        log_line("dump of %s: fs %u, flags %u, state %u, %zu changed blocks", dev.path.c_str(), dev.fs_type,
                 dev.attach_flags, state_word(dev), dev.changelog.size());
        return 0;
    case 14:
        snapshot_drop(dev, false);
        {
            std::lock_guard lock(global().mu);
            dev.changelog.clear();
        }
        dev.stores = {};
        return 0;
    }
    return EINVAL;
}

}  // namespace

int handle_request(std::uint32_t code, std::string &block)
{
    auto &st = global();
    std::uint32_t nr = code - 0x82104200u;
    blockref r{block};
    if (auto f = st.faults.find(nr); f != st.faults.end()) {
        int value = f->second.first;
        if (--f->second.second <= 0)
            st.faults.erase(f);
        return value;
    }
    if (r.get<std::uint32_t>(0) != api_version)
        return E_VERSION;
    auto size = r.get<std::uint32_t>(4);
    if (size < min_size || size > max_block)
        return EINVAL;
    std::string path = r.path(8);
    if (nr == 3)
        return device_list(r);
    if (nr == 0)
        return attach(r, path);
    if (nr == 13) {
        dev_t a{}, b{};
        disk *d = nullptr;
        std::uint64_t s = 0, n = 0;
        if (!resolve(path, a, d, s, n) || !resolve(r.path(136), b, d, s, n))
            return ENODEV;
        log_line("restore %s from %s", path.c_str(), r.path(136).c_str());
        return 0;
    }
    dev_t rdev{};
    disk *d = nullptr;
    std::uint64_t s = 0, n = 0;
    if (!resolve(path, rdev, d, s, n))
        return ENODEV;
    if (nr == 10) {
        return kernel_extents(*d, r);
    }
    auto it = st.devices.find(rdev);
    if (it == st.devices.end())
        return ENODEV;
    return on_device(nr, *it->second, r);
}

}  // namespace qvsim
