// SPDX-License-Identifier: LGPL-2.1-or-later
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "btrfs/btrfs.h"
#include "btrfs/format/layout.h"
#include "heap_block.h"
#include "unique_fd.h"

namespace {

// Owns the chunk map for one translation.
struct chunk_map_owner {
    chunk_map root = nullptr;
    ~chunk_map_owner() { chunk_map_free(&root); }
};

int read_chunks(int fd, chunk_map *map, qvctl_status *st)
{
    uint8_t super[BTRFS_SUPER_READ_SIZE];
    if (int r = btrfs_super_read(fd, super, st))
        return r;
    if (int r = btrfs_sys_chunks_walk(super, map, chunk_map_insert, st))
        return r;
    const qv::bytes sb(super, sizeof super);
    const uint64_t root_at = qv::btrfs::super::chunk_root(sb);
    const uint8_t root_level = qv::btrfs::super::chunk_root_level(sb);
    uint8_t *raw = nullptr;
    if (int r = btrfs_node_read(fd, &raw, root_at, btrfs_node_size(super, root_level), map, st))
        return r;
    qv::heap_block root(raw);
    if (int r = btrfs_node_check(super, root.get(), root_at, st))
        return r;
    // The superblock records the root's level: a root of another level is some other block.
    if (const uint8_t level = qv::btrfs::node::level(qv::btrfs::node::in_buffer(root.get())); level != root_level)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs node at %llu failed its check: level %u",
                                static_cast<unsigned long long>(root_at), unsigned{level});
    return btrfs_tree_walk(fd, super, root.get(), map, chunk_map_insert, st);
}

}  // namespace

extern "C" int btrfs_map_translate(const char *device, const struct fiemap *in, struct fiemap **out,
                                   qvctl_status *st)
{
    if (!device || !in || !out)
        return qvctl_status_set(st, EINVAL, "ERROR: device and map parameters of %s() should not be NULL", __func__);
    qv::unique_fd fd(::open(device, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        return qvctl_status_set(st, err, "Failed to open %s: %s", device, std::strerror(err));
    }
    chunk_map_owner chunks;
    if (int r = read_chunks(fd.get(), &chunks.root, st))
        return r;
    return chunk_map_split(&chunks.root, in, device, out, st);
}
