// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds a device image to btrfs_map_translate. The input is a sparse image written as segments:
// u64 device offset, u16 length, then that many bytes; everything else on the device reads as 0.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "btrfs/btrfs.h"
#include "bytes.h"
#include "unique_fd.h"

namespace {

constexpr uint64_t device_span = uint64_t{1} << 32;  // keeps the sparse file's size bounded
constexpr uint64_t probe_length = 64 << 20;
constexpr uint64_t probes[] = {0, 1 << 20, 13631488, 22020096, 30408704, 298844160, 1372585984, ~uint64_t{0}};

bool write_image(int fd, const uint8_t *data, size_t size)
{
    qv::Cursor in(qv::bytes(data, size));
    while (in.remaining() >= 10) {
        const uint64_t offset = in.le<uint64_t>() % device_span;
        const uint16_t want = in.le<uint16_t>();
        const qv::bytes chunk = in.take_bytes(std::min<size_t>(want, in.remaining()));
        if (!chunk.empty() && pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset)) < 0)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qv::unique_fd fd(memfd_create("btrfs-image", MFD_CLOEXEC));
    if (!fd || !write_image(fd.get(), data, size))
        return 0;
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
