// SPDX-License-Identifier: GPL-2.0-or-later
// The way back from a backup cut while it patched the image: every block that its delta saved is
// put back with its old checksum. Blocks saved but not yet overwritten are put back unchanged,
// so the rollback is right wherever the run was cut, and can itself be cut and run again: the
// delta is removed only once the image and its sums are on the disk.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "block_io.h"
#include "repo.h"
#include "repo_delta.h"

namespace qvctl_cli {

int repo_rollback(repo &r, std::uint64_t &blocks)
{
    const chain_record &latest = *r.latest();
    const std::uint64_t size = latest.sectors * 512;
    qv::unique_fd image, sums;
    if (int e = repo_file_open(r, r.dir.get(), "image", O_RDWR, image))
        return qvctl_status_set(&r.st, e, "ERROR: could not open %s: %s", r.file("image").c_str(), std::strerror(e));
    if (int e = repo_file_open(r, r.dir.get(), "sums", O_RDWR, sums))
        return qvctl_status_set(&r.st, e, "ERROR: could not open %s: %s", r.file("sums").c_str(), std::strerror(e));
    delta_reader delta;
    if (int e = delta.open(r, latest.point, latest.sectors, r.st))
        return e;
    sums_file sum_file(sums.get(), r.file("sums"));
    block_buffer buf(1);
    std::uint64_t put_back = 0;
    const std::string image_name = r.file("image");
    int code = delta.each(
        true,
        [&](const delta_entry &e) {
            if (int c = delta.content(e, latest.point, buf.block(0), r.st))
                return c;
            const std::uint64_t block = e.sector / repo_block_sectors;
            if (int c = blocks_write(image.get(), size, block, 1, buf.data(), e.zero, true, image_name, r.st))
                return c;
            ++put_back;
            return sum_file.set(block, e.sum, r.st);
        },
        r.st);
    if (code)
        return code;
    if (int e = sum_file.flush(r.st, true))
        return e;
    if (int e = data_sync(image.get(), image_name, r.st))
        return e;
    ::unlinkat(r.deltas.get(), delta_name(latest.point, "map").c_str(), 0);
    ::unlinkat(r.deltas.get(), delta_name(latest.point, "data").c_str(), 0);
    if (::fsync(r.deltas.get()) != 0)
        return qvctl_status_set(&r.st, errno, "ERROR: could not put %s on the disk: %s", r.file("deltas").c_str(),
                                std::strerror(errno));
    blocks = put_back;
    return 0;
}

}  // namespace qvctl_cli
