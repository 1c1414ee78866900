// SPDX-License-Identifier: GPL-2.0-or-later
// A point written back into a file or a block device, every block checked against its checksum on
// the way. Everything that would make the result wrong or harm something live is refused before
// the first write: a target that is mounted or in use, too small, holding the repository, or a
// device whose snapshot is held.
#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "backup_checks.h"
#include "block_io.h"
#include "path_format.h"
#include "progress_meter.h"
#include "qvctl_internal.h"
#include "rbd_client.h"
#include "repo_read.h"
#include "repo_restore.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

bool inside(const std::string &path, const std::string &folder)
{
    char a[PATH_MAX], b[PATH_MAX];
    if (!::realpath(qv::folder_of(path).c_str(), a) || !::realpath(folder.c_str(), b))
        return false;
    const std::string p = a, f = b;
    return p == f || p.rfind(f + "/", 0) == 0;
}

}  // namespace

int restore_target_open(const repo *r, const std::string &path, std::uint64_t size, restore_target &t,
                        qvctl_status &st)
{
    t.name = path;
    struct stat sb {}, at {};
    const bool exists = ::stat(path.c_str(), &sb) == 0;
    if (r)
        ::fstat(r->dir.get(), &at);
    t.device = exists && S_ISBLK(sb.st_mode);
    if (exists && !t.device && !S_ISREG(sb.st_mode))
        return qvctl_status_set(&st, EINVAL, "ERROR: %s is neither a regular file nor a block device", path.c_str());
    if (t.device) {
        if (r && lies_on(at.st_dev, sb.st_rdev))
            return qvctl_status_set(&st, EINVAL, "ERROR: %s holds the repository %s; refused", path.c_str(),
                                    r->path.c_str());
        char held[4096] = "";
        qvctl_status probe{};
        if (qvctl_snapshot_get(path.c_str(), held, &probe) == 0)
            return qvctl_status_set(&st, EBUSY, "ERROR: %s has a snapshot held (%s); end it before restoring into it",
                                    path.c_str(), held);
        // O_EXCL on a block device: refused while it is mounted or held by anyone else.
        t.fd.reset(::open(path.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC | O_LARGEFILE));
        if (!t.fd)
            return qvctl_status_set(&st, errno, errno == EBUSY ? "ERROR: %s is mounted or in use; refused"
                                                               : "ERROR: could not open %s: %s",
                                    path.c_str(), std::strerror(errno));
        std::uint64_t bytes = 0;
        if (::ioctl(t.fd.get(), BLKGETSIZE64, &bytes) != 0)
            return qvctl_status_set(&st, errno, "ERROR: could not read the size of %s: %s", path.c_str(),
                                    std::strerror(errno));
        if (bytes < size)
            return qvctl_status_set(&st, ENOSPC, "ERROR: %s holds %llu bytes, but the point has %llu; refused",
                                    path.c_str(), static_cast<ull>(bytes), static_cast<ull>(size));
        return 0;
    }
    if (r && inside(path, r->path))
        return qvctl_status_set(&st, EINVAL, "ERROR: %s lies in the repository %s; refused", path.c_str(),
                                r->path.c_str());
    if (exists) {
        const std::string loop = loop_serving(sb);
        if (!loop.empty())
            return qvctl_status_set(&st, EBUSY, "ERROR: %s is in use by %s (mounted or attached); refused",
                                    path.c_str(), loop.c_str());
    }
    int fd = snap_file_open(path.c_str(), O_WRONLY | O_CREAT, 0600, &st);
    if (fd < 0)
        return st.code ? st.code
                       : qvctl_status_set(&st, errno, "ERROR: could not open %s: %s", path.c_str(), std::strerror(errno));
    t.fd.reset(fd);
    // Emptied and sized: whatever is not written stays a hole, which reads as zeros.
    if (::ftruncate(t.fd.get(), 0) != 0 || ::ftruncate(t.fd.get(), static_cast<off_t>(size)) != 0)
        return qvctl_status_set(&st, errno, "ERROR: could not size %s: %s", path.c_str(), std::strerror(errno));
    return 0;
}

int restore_zeros(const restore_target &t, std::uint64_t offset, std::uint64_t length, qvctl_status &st)
{
    if (!t.device)
        return ::fallocate(t.fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                           static_cast<off_t>(length)) == 0
                   ? 0
                   : qvctl_status_set(&st, errno, "ERROR: could not punch a hole in %s: %s", t.name.c_str(),
                                      std::strerror(errno));
    std::uint64_t range[2] = {offset, length};
    if (::ioctl(t.fd.get(), BLKZEROOUT, range) == 0)
        return 0;
    static const unsigned char zeros[repo_block] = {};
    for (std::uint64_t done = 0; done < length; done += repo_block)
        if (int e = data_pwrite(t.fd.get(), zeros, std::min<std::uint64_t>(repo_block, length - done), offset + done,
                                t.name, st))
            return e;
    return 0;
}

int restore_blocks(const restore_target &t, std::uint64_t size, std::uint64_t first, std::uint64_t n,
                   const unsigned char *data, std::uint64_t &data_blocks, qvctl_status &st)
{
    for (std::uint64_t i = 0, j; i < n; i = j) {
        const bool zero = all_zero({data + i * repo_block, repo_block});
        for (j = i + 1; j < n && all_zero({data + j * repo_block, repo_block}) == zero;)
            ++j;
        const std::uint64_t offset = (first + i) * repo_block;
        const std::uint64_t length = std::min((j - i) * repo_block, size - offset);
        if (!zero)
            data_blocks += j - i;
        int e = !zero      ? data_pwrite(t.fd.get(), data + i * repo_block, length, offset, t.name, st)
                : t.device ? restore_zeros(t, offset, length, st)
                           : 0;
        if (e)
            return e;
    }
    return 0;
}

int repo_restore(const restore_request &req, restore_result &out, qvctl_status &st)
{
    if (rbd_ref_is(req.repo))
        return rbd_restore(req, out, st);
    repo r;
    if (int e = repo_open(r, req.repo, repo_access::write))
        return st = r.st, e;
    const chain_record *p = point_find(r, req.point, st);
    if (!p)
        return st.code;
    const chain_record &latest = *r.latest();
    const std::uint64_t size = latest.sectors * 512;
    restore_target t;
    if (int e = restore_target_open(&r, req.target, size, t, st))
        return e;
    out = restore_result{p->point, size, 0, 0, t.device};
    std::mutex counting;
    point_scan scan(r, p->point, req.workers);
    scan.image_blocks = [&](std::uint64_t first, std::uint64_t n, const unsigned char *data, qvctl_status &ws) {
        std::uint64_t data_blocks = 0;
        if (int e = restore_blocks(t, size, first, n, data, data_blocks, ws))
            return e;
        std::lock_guard g(counting);
        out.data_blocks += data_blocks;
        out.zero_blocks += n - data_blocks;
        return 0;
    };
    scan.delta_block = [&](std::uint64_t block, bool zero, const unsigned char *data, qvctl_status &ws) {
        const std::uint64_t offset = block * repo_block;
        if (offset >= size)
            return qvctl_status_set(&ws, repo_damaged, "ERROR: a delta of %s holds a block beyond the image",
                                    r.path.c_str());
        const std::uint64_t length = std::min(repo_block, size - offset);
        ++(zero ? out.zero_blocks : out.data_blocks);
        return zero ? restore_zeros(t, offset, length, ws) : data_pwrite(t.fd.get(), data, length, offset, t.name, ws);
    };
    progress_meter progress("restore", scan.total(), req.progress);
    scan.progress = &progress;
    int e = scan.run(st);
    progress.stop();
    if (e)
        return e;
    if (::fsync(t.fd.get()) != 0)
        return qvctl_status_set(&st, errno, "ERROR: could not put %s on the disk: %s", t.name.c_str(),
                                std::strerror(errno));
    return 0;
}

}  // namespace qvctl_cli
