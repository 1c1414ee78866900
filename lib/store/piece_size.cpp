// SPDX-License-Identifier: LGPL-2.1-or-later
// How large a store piece is: whole blocks of its filesystem, and no larger than the filesystem
// takes a file.
#include <fcntl.h>
#include <libgen.h>
#include <linux/magic.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "path_format.h"
#include "store/store_path.h"
#include "store/store_pieces.h"
#include "unique_fd.h"

// The filesystem's block is the unit every mapping method covers: FIBMAP and the map check count
// whole blocks, while marking covers only the file's bytes. A piece ending inside a block can't be
// mapped by all of them alike.
extern "C" uint64_t store_block_size(const char *path)
{
    char dir[STORE_PATH_SIZE];
    if (qv::path_format(dir, sizeof dir, nullptr, "%s", path ? path : ""))
        return 1;
    struct statvfs vfs;
    if (::statvfs(::dirname(dir), &vfs) != 0 || vfs.f_bsize == 0)
        return 1;
    return vfs.f_bsize;
}

extern "C" uint64_t store_piece_size(const char *path, uint64_t size)
{
    const uint64_t block = store_block_size(path);
    return size % block ? size - size % block + block : size;
}

namespace {

// Filesystems without holes grow a file by writing zeros: an ftruncate probe would write up to the
// whole limit and, with less space free than that, take ENOSPC for a size limit. Their limit is
// known, so the search asks it instead of the disk and answers what it would with room enough.
struct known_limit {
    long magic;
    uint64_t max_bytes;
};
constexpr known_limit known_limits[] = {
    {MSDOS_SUPER_MAGIC, 0xffffffffull},  // vfat, msdos: a 32-bit size
};

const known_limit *known_limit_of(int fd)
{
    struct statfs sfs {};
    if (::fstatfs(fd, &sfs) != 0)
        return nullptr;
    for (const auto &k : known_limits)
        if (sfs.f_type == k.magic)
            return &k;
    return nullptr;
}

}  // namespace

// A binary search with ftruncate on a nameless file: it costs no blocks, and the wanted size is tried
// first so that a filesystem without a tight limit answers in one call.
extern "C" uint64_t file_size_limit_probe(const char *base, uint64_t wanted)
{
    char name[STORE_PATH_SIZE];
    if (qv::path_format(name, sizeof name, nullptr, "%s-XXXXXX", base))
        return 0;
    qv::unique_fd fd(::mkostemp(name, O_CLOEXEC));
    if (!fd)
        return 0;
    ::unlink(name);
    const known_limit *known = known_limit_of(fd.get());
    auto accepts = [&](uint64_t size) {
        return known ? size <= known->max_bytes : ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0;
    };
    uint64_t result = 0, candidate = wanted, step = wanted;
    do {
        step = step / 2 + step % 2;
        if (accepts(candidate)) {
            result = candidate;
            if (result == wanted)
                break;
            candidate += step;
        } else {
            candidate -= step;
        }
    } while (step > STORE_PROBE_RESOLUTION);
    return result;
}
