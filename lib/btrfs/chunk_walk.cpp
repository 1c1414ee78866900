// SPDX-License-Identifier: LGPL-2.1-or-later
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>

#include "btrfs/btrfs.h"
#include "btrfs/format/layout.h"
#include "heap_block.h"

namespace fmt = qv::btrfs;

namespace {

int corrupt(qvctl_status *st, const char *what, uint64_t where)
{
    return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs chunk tree corrupted: %s: %llu", what,
                            static_cast<unsigned long long>(where));
}

int unexpected_in_super(qvctl_status *st)
{
    return qvctl_status_set(st, QVCTL_EBADDATA, "ERROR: Unexpected data in superblock");
}

uint64_t physical_of(qv::bytes chunk, uint64_t devid)
{
    return btrfs_chunk_physical(chunk.data(), static_cast<uint32_t>(chunk.size()), devid);
}

}  // namespace

extern "C" int btrfs_sys_chunks_walk(const uint8_t *super, chunk_map *map, btrfs_chunk_cb cb, qvctl_status *st)
{
    const qv::bytes sb(super, fmt::super::read_size);
    const uint32_t used = fmt::super::sys_chunk_array_size(sb);
    if (used > fmt::super::sys_chunk_array_max)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs system chunk array size %u exceeds its %zu bytes", used,
                                fmt::super::sys_chunk_array_max);
    const uint64_t devid = fmt::super::devid(sb);
    qv::Cursor at(fmt::super::sys_chunk_array(sb).first(used));
    while (at.remaining() > 0) {
        const qv::bytes key = at.take_bytes(fmt::key::size);
        if (!at.ok() || fmt::key::type(key) != fmt::key::chunk_item_type)
            return unexpected_in_super(st);
        const std::size_t chunk_at = at.offset();
        const qv::bytes head = at.take_bytes(fmt::chunk::min_size);
        if (!at.ok())
            return unexpected_in_super(st);
        const uint16_t stripes = fmt::chunk::num_stripes(head);
        if (stripes == 0)
            return corrupt(st, "system chunk without stripes", fmt::key::offset(key));
        at.seek(chunk_at);
        const qv::bytes chunk = at.take_bytes(btrfs_chunk_item_size(stripes));
        if (!at.ok())
            return unexpected_in_super(st);
        if (int r = cb(map, fmt::key::offset(key), physical_of(chunk, devid), fmt::chunk::length(chunk), st))
            return r;
    }
    return 0;
}

extern "C" int btrfs_leaf_walk(const uint8_t *node, uint64_t devid, btrfs_chunk_cb cb, chunk_map *map,
                               qvctl_status *st)
{
    const qv::bytes leaf = fmt::node::in_buffer(node);
    const uint32_t count = fmt::node::nritems(leaf);
    if (!fmt::node::table_fits(leaf.size(), count, fmt::node::item_size))
        return corrupt(st, "leaf item count exceeds the leaf", count);
    for (uint32_t i = 0; i < count; ++i) {
        const qv::bytes item = leaf.subspan(fmt::node::item_at(i), fmt::node::item_size);
        const qv::bytes key = fmt::item::key(item);
        if (fmt::key::type(key) != fmt::key::chunk_item_type)
            continue;
        const std::size_t data_at = fmt::node::header_size + std::size_t{fmt::item::offset(item)};
        if (data_at > leaf.size() || leaf.size() - data_at < fmt::chunk::min_size)
            return corrupt(st, "chunk item outside the leaf", fmt::key::offset(key));
        const uint16_t stripes = fmt::chunk::num_stripes(leaf.subspan(data_at, fmt::chunk::min_size));
        if (stripes == 0)
            return corrupt(st, "chunk without stripes", fmt::key::offset(key));
        if (leaf.size() - data_at < btrfs_chunk_item_size(stripes))
            return corrupt(st, "chunk item outside the leaf", fmt::key::offset(key));
        const qv::bytes chunk = leaf.subspan(data_at, btrfs_chunk_item_size(stripes));
        if (int r = cb(map, fmt::key::offset(key), physical_of(chunk, devid), fmt::chunk::length(chunk), st))
            return r;
    }
    return 0;
}

namespace {

// Bounds a walk's work, not only its depth: a crafted tree whose pointers all name one child would
// otherwise be read once per path through it.
struct walk_budget {
    std::unordered_set<uint64_t> seen;
    uint64_t reads_left;
};

int walk(int fd, const uint8_t *super, const uint8_t *node, chunk_map *map, btrfs_chunk_cb cb,
         walk_budget &budget, qvctl_status *st)
{
    const qv::bytes self = fmt::node::in_buffer(node);
    const uint8_t level = fmt::node::level(self);
    if (level == 0)
        return btrfs_leaf_walk(node, fmt::super::devid(qv::bytes(super, fmt::super::read_size)), cb, map, st);
    const uint32_t count = fmt::node::nritems(self);
    if (!fmt::node::table_fits(self.size(), count, fmt::node::key_ptr_size))
        return corrupt(st, "node pointer count exceeds the node", count);
    const uint32_t child_size = btrfs_node_size(super, static_cast<uint8_t>(level - 1));
    for (uint32_t i = 0; i < count; ++i) {
        const qv::bytes ptr = self.subspan(fmt::node::key_ptr_at(i), fmt::node::key_ptr_size);
        const uint64_t child_at = fmt::key_ptr::blockptr(ptr);
        if (!budget.seen.insert(child_at).second)
            return corrupt(st, "node address named twice", child_at);
        if (budget.reads_left == 0)
            return corrupt(st, "more nodes read than the device holds", child_at);
        --budget.reads_left;
        uint8_t *raw = nullptr;
        if (int r = btrfs_node_read(fd, &raw, child_at, child_size, map, st))
            return r;
        qv::heap_block child(raw);
        if (int r = btrfs_node_check(super, child.get(), child_at, st))
            return r;
        // Each level down must be one below its parent: this bounds the recursion by the root's level.
        if (fmt::node::level(fmt::node::in_buffer(child.get())) != level - 1)
            return corrupt(st, "child node level does not follow its parent's", child_at);
        if (int r = walk(fd, super, child.get(), map, cb, budget, st))
            return r;
    }
    return 0;
}

}  // namespace

extern "C" int btrfs_tree_walk(int fd, const uint8_t *super, const uint8_t *node, chunk_map *map,
                               btrfs_chunk_cb cb, qvctl_status *st)
{
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) {
        int err = errno;
        return qvctl_status_set(st, err, "Failed to size Btrfs device: %s", std::strerror(err));
    }
    const uint32_t nodesize = std::max<uint32_t>(fmt::super::nodesize(qv::bytes(super, fmt::super::read_size)), 1);
    try {
        walk_budget budget{{}, static_cast<uint64_t>(end) / nodesize};
        return walk(fd, super, node, map, cb, budget, st);
    } catch (const std::bad_alloc &) {
        return qvctl_status_set(st, ENOMEM, "malloc failed: %s", std::strerror(ENOMEM));
    }
}
