// SPDX-License-Identifier: LGPL-2.1-or-later
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btrfs/btrfs.h"
#include "btrfs/format/layout.h"
#include "crc32c.h"

namespace fmt = qv::btrfs;

namespace {

// Only crc32c is verified: xxhash64, sha256 and blake2b checksums are read unchecked, the
// structure's other checks still apply to them.
bool checksum_holds(qv::bytes super, qv::bytes block, std::size_t from, uint32_t stored)
{
    return fmt::super::csum_type(super) != fmt::super::csum_crc32c ||
           (block.size() >= from && qv::crc32c(block.subspan(from)) == stored);
}

}  // namespace

extern "C" int btrfs_pread_full(int fd, void *buf, uint32_t count, uint64_t offset, qvctl_status *st)
{
    auto *at = static_cast<uint8_t *>(buf);
    while (count > 0) {
        ssize_t n = ::pread(fd, at, count, static_cast<off_t>(offset));
        if (n == 0)
            break;  // end of the device: the rest of the buffer stays as it was
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            return qvctl_status_set(st, err, "Failed to read Btrfs device from address %llu: %s",
                                    static_cast<unsigned long long>(offset), std::strerror(err));
        }
        at += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<uint32_t>(n);
    }
    return 0;
}

extern "C" int btrfs_super_read(int fd, uint8_t *super, qvctl_status *st)
{
    // A short device leaves the tail untouched; zeros keep every later read defined.
    std::memset(super, 0, fmt::super::read_size);
    if (int r = btrfs_pread_full(fd, super, fmt::super::read_size, fmt::super::device_offset, st))
        return r;
    const qv::bytes sb(super, fmt::super::read_size);
    if (!fmt::super::magic_ok(sb) || fmt::super::bytenr(sb) != fmt::super::device_offset)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs superblock appears to be corrupted");
    const uint16_t kind = fmt::super::csum_type(sb);
    if (kind > fmt::super::csum_blake2b)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs superblock failed its check: checksum type %u",
                                unsigned{kind});
    if (!checksum_holds(sb, sb, fmt::super::checksummed_from, fmt::super::csum(sb)))
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs superblock failed its check: checksum");
    return 0;
}

// In the order btrfs itself checks a tree block: a misplaced or foreign block is told as such
// before its checksum is looked at.
extern "C" int btrfs_node_check(const uint8_t *super, const uint8_t *node, uint64_t logical, qvctl_status *st)
{
    const qv::bytes sb(super, fmt::super::read_size), self = fmt::node::in_buffer(node);
    const auto failed = [&](const char *what) {
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs node at %llu failed its check: %s",
                                static_cast<unsigned long long>(logical), what);
    };
    if (const uint64_t at = fmt::node::bytenr(self); at != logical)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs node at %llu failed its check: bytenr %llu",
                                static_cast<unsigned long long>(logical), static_cast<unsigned long long>(at));
    const qv::bytes own = fmt::super::tree_fsid(sb), named = fmt::node::fsid(self);
    if (named.size() != own.size() || !std::equal(own.begin(), own.end(), named.begin()))
        return failed("fsid");
    if (const uint8_t level = fmt::node::level(self); level >= fmt::node::max_level)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs node at %llu failed its check: level %u",
                                static_cast<unsigned long long>(logical), unsigned{level});
    if (!checksum_holds(sb, self, fmt::node::checksummed_from, fmt::node::csum(self)))
        return failed("checksum");
    return 0;
}

extern "C" uint8_t *btrfs_node_alloc(uint32_t size, qvctl_status *st)
{
    auto *node = static_cast<uint8_t *>(std::calloc(1, std::size_t{size} + sizeof(uint32_t)));
    if (!node) {
        qvctl_status_set(st, errno, "Node buffer allocation failed: %s", std::strerror(errno));
        return nullptr;
    }
    std::memcpy(node, &size, sizeof size);
    return node;
}

extern "C" uint32_t btrfs_node_size(const uint8_t *super, uint8_t level)
{
    const qv::bytes sb(super, fmt::super::read_size);
    return level != 0 ? fmt::super::nodesize(sb) : fmt::super::leafsize(sb);
}

extern "C" uint32_t btrfs_chunk_item_size(uint16_t num_stripes)
{
    return fmt::chunk::item_size(num_stripes);
}

extern "C" int btrfs_node_read(int fd, uint8_t **node, uint64_t logical, uint32_t size, chunk_map *map,
                               qvctl_status *st)
{
    // The size comes from disk: it must hold a header and stay within what btrfs ever writes.
    if (size < fmt::node::header_size || size > fmt::node::max_size)
        return qvctl_status_set(st, QVCTL_EBADDATA, "Btrfs node size %u at address %llu is out of range", size,
                                static_cast<unsigned long long>(logical));
    uint64_t physical = 0;
    if (int r = chunk_map_locate(map, logical, "chunk tree", &physical, st))
        return r;
    uint8_t *buf = btrfs_node_alloc(size, st);
    if (!buf)
        return ENOMEM;
    if (int r = btrfs_pread_full(fd, buf + sizeof(uint32_t), size, physical, st)) {
        std::free(buf);
        return r;
    }
    *node = buf;
    return 0;
}
