// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds a device image to btrfs_map_translate. The input is a sparse image written as segments:
// u64 device offset, u16 length, then that many bytes; everything else on the device reads as 0.
// A superblock or node whose stored crc32c is zero is given its right checksum before the reader
// runs: a fuzzer would hardly ever find one, and the checks behind it would go unexplored. Seeds
// carry zeroed checksums; any other stored value is read as it is, so the check itself is fuzzed too.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "btrfs/btrfs.h"
#include "btrfs/format/layout.h"
#include "bytes.h"
#include "crc32c.h"
#include "unique_fd.h"

namespace {

constexpr uint64_t device_span = uint64_t{1} << 32;  // keeps the sparse file's size bounded
constexpr uint64_t probe_length = 64 << 20;
constexpr uint64_t probes[] = {0, 1 << 20, 13631488, 22020096, 30408704, 298844160, 1372585984, ~uint64_t{0}};

namespace fmt = qv::btrfs;

bool write_image(int fd, const uint8_t *data, size_t size, std::vector<uint64_t> &starts)
{
    qv::Cursor in(qv::bytes(data, size));
    while (in.remaining() >= 10) {
        const uint64_t offset = in.le<uint64_t>() % device_span;
        const uint16_t want = in.le<uint16_t>();
        const qv::bytes chunk = in.take_bytes(std::min<size_t>(want, in.remaining()));
        if (!chunk.empty() && pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset)) < 0)
            return false;
        starts.push_back(offset);
    }
    return true;
}

// The block of `size` bytes at `at`, when its stored checksum is zero, is given the right one.
void seal_zeroed(int fd, uint64_t at, size_t size)
{
    std::vector<uint8_t> b(size);
    if (pread(fd, b.data(), size, static_cast<off_t>(at)) < 0 || fmt::node::csum(b) != 0)
        return;
    uint8_t csum[4];
    qv::store_le<uint32_t>(csum, 0, qv::crc32c(qv::bytes(b).subspan(fmt::node::checksummed_from)));
    if (pwrite(fd, csum, sizeof csum, static_cast<off_t>(at)) < 0)
        std::abort();
}

// Nodes are taken to start where segments do, at the node size the superblock gives.
void seal_image(int fd, const std::vector<uint64_t> &starts)
{
    std::vector<uint8_t> sb(fmt::super::read_size);
    if (pread(fd, sb.data(), sb.size(), fmt::super::device_offset) < 0)
        return;
    const uint32_t nodesize = fmt::super::nodesize(sb);
    if (nodesize >= fmt::node::header_size && nodesize <= fmt::node::max_size)
        for (uint64_t at : starts)
            if (at != fmt::super::device_offset)
                seal_zeroed(fd, at, nodesize);
    seal_zeroed(fd, fmt::super::device_offset, fmt::super::read_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qv::unique_fd fd(memfd_create("btrfs-image", MFD_CLOEXEC));
    std::vector<uint64_t> starts;
    if (!fd || !write_image(fd.get(), data, size, starts))
        return 0;
    seal_image(fd.get(), starts);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd.get());

    constexpr size_t count = sizeof probes / sizeof probes[0];
    std::vector<uint8_t> block(sizeof(fiemap) + count * sizeof(fiemap_extent));
    auto *map = reinterpret_cast<fiemap *>(block.data());
    // Each probe reaches into the next chunk, so that cutting at chunk ends is walked too.
    map->fm_mapped_extents = count;
    for (size_t i = 0; i < count; ++i) {
        map->fm_extents[i].fe_physical = probes[i];
        map->fm_extents[i].fe_length = probe_length;
    }
    qvctl_status st{};
    struct fiemap *out = nullptr;
    if (btrfs_map_translate(path, map, &out, &st) == 0) {
        // The pieces cover each extent exactly.
        uint64_t total = 0;
        for (uint32_t i = 0; i < out->fm_mapped_extents; ++i)
            total += out->fm_extents[i].fe_length;
        if (total != count * probe_length)
            std::abort();
    }
    std::free(out);
    return 0;
}
