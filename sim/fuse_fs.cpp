// SPDX-License-Identifier: GPL-2.0-or-later
// The FUSE filesystem: one file per disk (diskN), one read-only file per live snapshot (snapN).
// Served on libfuse's own threads, apart from the request handler.
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

#include "paths.h"
#include "state.h"

namespace qvsim {
namespace {

constexpr std::uint64_t mark_value = 0xd6dc531a1a93dc11ull;

struct node {
    disk *d = nullptr;
    snapshot *s = nullptr;
    device *owner = nullptr;
};

device *snapshot_owner(snapshot *s)
{
    for (auto &[rdev, dev] : global().devices)
        if (dev->snap.get() == s)
            return dev.get();
    return nullptr;
}

bool lookup(const char *path, node &n)
{
    int idx = 0;
    auto &st = global();
    if (std::sscanf(path, "/disk%d", &idx) == 1) {
        auto it = st.disks.find(idx);
        if (it == st.disks.end())
            return false;
        n.d = it->second.get();
        return true;
    }
    if (std::sscanf(path, "/snap%d", &idx) == 1) {
        auto it = st.snaps.find(idx);
        if (it == st.snaps.end())
            return false;
        n.s = it->second;
        n.owner = snapshot_owner(n.s);
        return n.owner != nullptr;
    }
    return false;
}

int fs_getattr(const char *path, struct stat *sb, fuse_file_info *)
{
    std::memset(sb, 0, sizeof *sb);
    if (std::strcmp(path, "/") == 0) {
        sb->st_mode = S_IFDIR | 0755;
        sb->st_nlink = 2;
        return 0;
    }
    std::lock_guard lock(global().mu);
    node n;
    if (!lookup(path, n))
        return -ENOENT;
    sb->st_nlink = 1;
    sb->st_mode = n.d ? (S_IFREG | 0600) : (S_IFREG | 0400);
    sb->st_size = static_cast<off_t>(n.d ? n.d->bytes : n.owner->sectors * 512);
    return 0;
}

int fs_readdir(const char *, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    std::lock_guard lock(global().mu);
    for (auto &[i, d] : global().disks)
        fill(buf, ("disk" + std::to_string(i)).c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
    for (auto &[i, s] : global().snaps)
        fill(buf, ("snap" + std::to_string(i)).c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int fs_open(const char *path, fuse_file_info *fi)
{
    std::lock_guard lock(global().mu);
    node n;
    if (!lookup(path, n))
        return -ENOENT;
    if (n.s && (fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    return 0;
}

int read_snapshot(device &dev, snapshot &s, char *buf, std::size_t size, std::uint64_t off)
{
    auto &q = global().quirk;
    std::uint64_t dev_bytes = dev.sectors * 512;
    if (off >= dev_bytes)
        return 0;
    if (size > dev_bytes - off)
        size = static_cast<std::size_t>(dev_bytes - off);
    if (q.eio_from && (off + size) / 512 > *q.eio_from)
        return -EIO;
    if (q.no_fs_type) {
        std::memset(buf, 0, size);
        return static_cast<int>(size);
    }
    std::size_t done = 0;
    while (done < size) {
        std::uint64_t pos = off + done;
        std::uint64_t blk = pos / block_bytes;
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, block_bytes - pos % block_bytes));
        bool kept = blk < s.preserved.size() && s.preserved[blk];
        ssize_t r = kept ? ::pread(s.cow_fd, buf + done, chunk, static_cast<off_t>(pos))
                         : ::pread(dev.on->backing_fd, buf + done, chunk, static_cast<off_t>(dev.start * 512 + pos));
        if (r < 0)
            return -errno;
        if (static_cast<std::size_t>(r) < chunk)
            std::memset(buf + done + r, 0, chunk - static_cast<std::size_t>(r));
        done += chunk;
    }
    return static_cast<int>(size);
}

int fs_read(const char *path, char *buf, std::size_t size, off_t off, fuse_file_info *)
{
    std::unique_lock lock(global().mu);
    node n;
    if (!lookup(path, n))
        return -ENOENT;
    if (n.s && global().quirk.slow_reads_us) {
        // A slow snapshot device, waited for without the lock so that writes go on meanwhile.
        auto pause = std::chrono::microseconds(global().quirk.slow_reads_us);
        lock.unlock();
        std::this_thread::sleep_for(pause);
        lock.lock();
        if (!lookup(path, n))
            return -ENOENT;
    }
    if (n.s)
        return read_snapshot(*n.owner, *n.s, buf, size, static_cast<std::uint64_t>(off));
    ssize_t r = ::pread(n.d->backing_fd, buf, size, off);
    return r < 0 ? -errno : static_cast<int>(r);
}

// Zeros written over a disk become a hole in its backing file, so that a filesystem that lays down
// gigabytes of zeros (vfat extends files that way) costs the daemon's memory nothing. False when
// the buffer is not all zeros or the backing file can't punch; the caller then writes it.
bool punch_zeros(int fd, const char *buf, std::size_t size, off_t off)
{
    if (size < 4096 || buf[0] != 0 || std::memcmp(buf, buf + 1, size - 1) != 0)
        return false;
    return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off, static_cast<off_t>(size)) == 0;
}

int fs_write(const char *path, const char *buf, std::size_t size, off_t off, fuse_file_info *)
{
    std::lock_guard lock(global().mu);
    node n;
    if (!lookup(path, n) || !n.d)
        return -EROFS;
    auto uoff = static_cast<std::uint64_t>(off);
    if (uoff >= n.d->bytes)
        return -ENOSPC;
    if (size > n.d->bytes - uoff)
        size = static_cast<std::size_t>(n.d->bytes - uoff);
    disk_write_hook(*n.d, uoff, buf, size);
    if (punch_zeros(n.d->backing_fd, buf, size, off))
        return static_cast<int>(size);
    ssize_t w = ::pwrite(n.d->backing_fd, buf, size, off);
    return w < 0 ? -errno : static_cast<int>(w);
}

int fs_fsync(const char *, int, fuse_file_info *) { return 0; }

void *fs_init(fuse_conn_info *conn, fuse_config *cfg)
{
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    conn->max_write = 1u << 20;
    // Requests read whole into each thread's one buffer: splicing them costs a fresh buffer per
    // write, which is what the stand-in's throughput hangs on in a slow guest kernel.
    conn->want &= ~(FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    return nullptr;
}

struct fuse *g_fuse = nullptr;
std::thread g_thread;

}  // namespace

// Notes changed blocks of every attached device holding them, keeps the old content of blocks under
// a snapshot before their first overwrite, and notes marked sectors under a watch. Caller holds mu.
void disk_write_hook(disk &d, std::uint64_t off, const char *buf, std::size_t n)
{
    if (n == 0)
        return;
    for (auto &[rdev, dev] : global().devices) {
        if (dev->on != &d)
            continue;
        std::uint64_t lo = dev->start * 512, hi = lo + dev->sectors * 512;
        std::uint64_t a = std::max(off, lo), b = std::min(off + n, hi);
        if (a >= b)
            continue;
        for (std::uint64_t blk = (a - lo) / block_bytes; blk <= (b - 1 - lo) / block_bytes; ++blk) {
            dev->changelog.insert(blk);
            snapshot *s = dev->snap.get();
            if (!s || blk >= s->preserved.size() || s->preserved[blk])
                continue;
            char old[block_bytes];
            ssize_t r = ::pread(d.backing_fd, old, block_bytes, static_cast<off_t>(lo + blk * block_bytes));
            if (r < 0)
                r = 0;
            std::memset(old + r, 0, block_bytes - static_cast<std::size_t>(r));
            if (::pwrite(s->cow_fd, old, block_bytes, static_cast<off_t>(blk * block_bytes)) == static_cast<ssize_t>(block_bytes))
                s->preserved[blk] = true;
        }
    }
    if (!d.watching)
        return;
    for (std::uint64_t p = (off + 511) / 512 * 512; p + 8 <= off + n; p += 512) {
        std::uint64_t v = 0;
        std::memcpy(&v, buf + (p - off), 8);
        if (v == mark_value)
            d.marks.insert(p / 512);
    }
}

int fuse_start()
{
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.getattr = fs_getattr;
        o.readdir = fs_readdir;
        o.open = fs_open;
        o.read = fs_read;
        o.write = fs_write;
        o.fsync = fs_fsync;
        o.init = fs_init;
        return o;
    }();
    static char prog[] = "qvsimd", opt1[] = "-o", opt2[] = "default_permissions,fsname=qvsim";
    char *argv[] = {prog, opt1, opt2, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    g_fuse = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);  // fuse_new may have added to them
    if (!g_fuse)
        return EIO;
    if (fuse_mount(g_fuse, fs_dir) != 0) {
        fuse_destroy(g_fuse);
        g_fuse = nullptr;
        return EIO;
    }
    g_thread = std::thread([] {
        fuse_loop_config *cfg = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(cfg, 16);
        fuse_loop_mt(g_fuse, cfg);
        fuse_loop_cfg_destroy(cfg);
    });
    return 0;
}

void fuse_stop()
{
    if (!g_fuse)
        return;
    fuse_exit(g_fuse);
    fuse_unmount(g_fuse);
    if (g_thread.joinable())
        g_thread.join();
    fuse_destroy(g_fuse);
    g_fuse = nullptr;
}

}  // namespace qvsim
