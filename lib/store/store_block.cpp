// SPDX-License-Identifier: LGPL-2.1-or-later
#include <libgen.h>
#include <sys/statvfs.h>

#include <cstring>

#include "path_format.h"
#include "store/store_files.h"

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
