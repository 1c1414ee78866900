#include <cstdlib>
#include <cstring>

#include "btrfs/btrfs.h"
#include "btrfs/format/layout.h"
#include "heap_block.h"

namespace fmt = qv::btrfs;

namespace {

// The node's bytes, bounded by the size its buffer records.
qv::bytes node_bytes(const uint8_t *node)
{
    uint32_t size;
    std::memcpy(&size, node, sizeof size);
    return {node + sizeof size, size};
}

uint32_t corrupt(qvctl_status *st, const char *what, uint64_t where)
{
    return static_cast<uint32_t>(
        qvctl_status_set(st, 9, "Btrfs chunk tree corrupted: %s: %llu", what, static_cast<unsigned long long>(where)));
}

}  // namespace

extern "C" uint32_t btrfs_sys_chunks_walk(const uint8_t *super, chunk_map *map, btrfs_chunk_cb cb, qvctl_status *st)
{
    const qv::bytes sb(super, fmt::super::read_size);
    const uint32_t used = fmt::super::sys_chunk_array_size(sb);
    if (used > fmt::super::sys_chunk_array_max)
        return static_cast<uint32_t>(
            qvctl_status_set(st, 9, "Btrfs system chunk array size %u exceeds its %zu bytes", used,
                             fmt::super::sys_chunk_array_max));
    qv::Cursor at(fmt::super::sys_chunk_array(sb).first(used));
    while (at.remaining() > 0) {
        const qv::bytes key = at.take_bytes(fmt::key::size);
        if (!at.ok() || fmt::key::type(key) != fmt::key::chunk_item_type)
            return static_cast<uint32_t>(qvctl_status_set(st, 9, "ERROR: Unexpected data in superblock"));
        const std::size_t chunk_at = at.offset();
        const qv::bytes head = at.take_bytes(fmt::chunk::min_size);
        if (!at.ok())
            return static_cast<uint32_t>(qvctl_status_set(st, 9, "ERROR: Unexpected data in superblock"));
        const uint16_t stripes = fmt::chunk::num_stripes(head);
        if (stripes == 0)
            return corrupt(st, "system chunk without stripes", fmt::key::offset(key));
        if (uint32_t r = cb(map, fmt::key::offset(key), fmt::chunk::first_stripe_offset(head),
                            fmt::chunk::length(head), st))
            return r;
        at.seek(chunk_at);
        at.skip(btrfs_chunk_item_size(stripes));
        if (!at.ok())
            return static_cast<uint32_t>(qvctl_status_set(st, 9, "ERROR: Unexpected data in superblock"));
    }
    return 0;
}

extern "C" uint32_t btrfs_leaf_walk(const uint8_t *node, btrfs_chunk_cb cb, chunk_map *map, qvctl_status *st)
{
    const qv::bytes leaf = node_bytes(node);
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
        const qv::bytes chunk = leaf.subspan(data_at, fmt::chunk::min_size);
        if (uint32_t r = cb(map, fmt::key::offset(key), fmt::chunk::first_stripe_offset(chunk),
                            fmt::chunk::length(chunk), st))
            return r;
    }
    return 0;
}

extern "C" uint32_t btrfs_tree_walk(int fd, const uint8_t *super, const uint8_t *node, chunk_map *map,
                                    btrfs_chunk_cb cb, qvctl_status *st)
{
    const qv::bytes self = node_bytes(node);
    const uint8_t level = fmt::node::level(self);
    if (level == 0)
        return btrfs_leaf_walk(node, cb, map, st);
    const uint32_t count = fmt::node::nritems(self);
    if (!fmt::node::table_fits(self.size(), count, fmt::node::key_ptr_size))
        return corrupt(st, "node pointer count exceeds the node", count);
    const uint32_t child_size = btrfs_node_size(super, static_cast<uint8_t>(level - 1));
    for (uint32_t i = 0; i < count; ++i) {
        const qv::bytes ptr = self.subspan(fmt::node::key_ptr_at(i), fmt::node::key_ptr_size);
        const uint64_t child_at = fmt::key_ptr::blockptr(ptr);
        uint8_t *raw = nullptr;
        if (uint32_t r = btrfs_node_read(fd, &raw, child_at, child_size, map, st))
            return r;
        qv::heap_block child(raw);
        // Each level down must be one below its parent: this bounds the recursion by the root's level.
        if (fmt::node::level(node_bytes(child.get())) != level - 1)
            return corrupt(st, "child node level does not follow its parent's", child_at);
        if (uint32_t r = btrfs_tree_walk(fd, super, child.get(), map, cb, st))
            return r;
    }
    return 0;
}
