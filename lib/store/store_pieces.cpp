// SPDX-License-Identifier: LGPL-2.1-or-later
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "heap_block.h"
#include "path_format.h"
#include "store/store_pieces.h"
#include "store/store_path.h"

namespace {

using piece_op = int (*)(const char *name, uint64_t size, qvctl_status *st);

int piece_create(const char *name, uint64_t size, qvctl_status *st) { return file_create(name, size, false, st); }
int piece_create_zeroed(const char *name, uint64_t size, qvctl_status *st) { return file_create(name, size, true, st); }

constexpr piece_op piece_ops[] = {piece_create, piece_create_zeroed, file_check};
static_assert(std::size(piece_ops) == STORE_FILES_CHECK + 1);

}  // namespace

// Piece 0 is the store path itself, piece i its path with "-i". The total is the size rule's; the
// pieces hold it rounded up to the filesystem's block.
extern "C" int store_files_process(const char *path, uint64_t total, uint32_t mode, qvctl_status *st)
{
    if (mode >= std::size(piece_ops))
        return qvctl_status_set(st, EINVAL, "ERROR: misusage of %s", __func__);
    // Every piece is whole filesystem blocks, the last one included.
    const uint64_t block = store_block_size(path);
    total = store_piece_size(path, total);
    uint64_t limit = file_size_limit_probe(path, total);
    limit -= limit % block;
    if (limit == 0)
        return qvctl_status_set(st, ENOENT, "Failed to determine filesystem filesize for %s", path);
    uint64_t count = total / limit + (total % limit != 0);
    qv::heap_ptr<char> names(static_cast<char *>(std::calloc(count, STORE_PATH_SIZE)));
    if (!names)
        return qvctl_status_set(st, errno, "Failed to allocate memory for store filenames");
    uint64_t remaining = total;
    for (uint64_t i = 0; i < count; ++i) {
        char *name = names.get() + i * STORE_PATH_SIZE;
        const int named = i == 0 ? qv::path_format(name, STORE_PATH_SIZE, st, "%s", path)
                                 : qv::path_format(name, STORE_PATH_SIZE, st, "%s-%lu", path, static_cast<unsigned long>(i));
        uint64_t size = remaining < limit ? remaining : limit;
        if (int r = named ? named : piece_ops[mode](name, size, st); r != 0) {
            // A half-made data store would be taken for a whole one by the next registration.
            if (mode == STORE_FILES_CREATE)
                for (uint64_t j = i + 1; j-- > 0;)
                    ::unlink(names.get() + j * STORE_PATH_SIZE);
            return r;
        }
        remaining -= size;
    }
    return 0;
}

extern "C" int store_files_create(const char *path, uint64_t total, qvctl_status *st)
{
    return store_files_process(path, total, STORE_FILES_CREATE, st);
}

extern "C" int store_files_create_zeroed(const char *path, uint64_t total, qvctl_status *st)
{
    return store_files_process(path, total, STORE_FILES_CREATE_ZEROED, st);
}

extern "C" int store_files_check(const char *path, uint64_t total, qvctl_status *st)
{
    return store_files_process(path, total, STORE_FILES_CHECK, st);
}
