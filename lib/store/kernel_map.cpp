// SPDX-License-Identifier: LGPL-2.1-or-later
// The kernel method: begin, mark the file, locate and fetch the sectors on which the module saw the
// mark; abort whenever the exchange breaks off after a begin, except when locating answers 5.
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "fs/block_device.h"
#include "module_answer.h"
#include "request_block.h"
#include "store/extent_map.h"
#include "store/extent_map_block.h"

namespace ke = qv::req::kernel_extents;

namespace {

enum phase : uint32_t { begin = 0, locate = 1, fetch = 2, abort_exchange = 3 };

constexpr uint32_t locate_io_error = 5;

int send(qv::request_block &block, phase p, const char *device, qvctl_status *st)
{
    qv::store_le<uint32_t>(block.span(), ke::phase, p);
    return qvctl_ioctl(QVCTL_REQ_KERNEL_EXTENTS, block.get(), device, st);
}

// The module is told to drop the exchange; its own report of failure is not looked at.
int abort_with(qv::request_block &block, const char *device)
{
    qvctl_status ignored{};
    send(block, abort_exchange, device, &ignored);
    return 0;
}

}  // namespace

extern "C" int kernel_extents_get(const char *device, const char *path, uint32_t chunk, sector_extent **out,
                                       qvctl_status *st)
{
    qv::request_block block = qv::request_new(qv::req::min_size, device);
    if (!block) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory in %s", __func__);
        return 0;
    }
    if (send(block, begin, device, st))
        return 0;
    if (file_mark(path, chunk, st))
        return abort_with(block, device);
    if (int r = send(block, locate, device, st))
        return r == locate_io_error ? 0 : abort_with(block, device);

    const uint32_t n = qv::load_le<uint32_t>(block.view(), ke::count);
    const std::size_t length = qv::req::block_length(ke::extents, n, qv::req::extent_size);
    if (!qv::request_grow(block, block.length, length, st)) {
        qvctl_status_set(st, errno, "ERROR: Realloc failed in %s", __func__);
        return abort_with(block, device);
    }
    if (send(block, fetch, device, st))
        return abort_with(block, device);

    sector_extent *extents = nullptr;
    const uint32_t got = qv::answer::kernel_extents_read(block.view(), n, &extents, st);
    if (!extents)
        return abort_with(block, device);
    *out = extents;
    return got;
}

extern "C" struct fiemap *file_map_kernel(const char *device, const char *path, uint32_t chunk, qvctl_status *st)
{
    sector_extent *raw = nullptr;
    const uint32_t n = kernel_extents_get(device, path, chunk, &raw, st);
    qv::heap_ptr<sector_extent> extents(raw);
    if (n == 0)
        return nullptr;
    qv::fiemap_ptr map = qv::fiemap_zeroed(n);
    if (!map) {
        qvctl_status_set(st, errno, "ERROR: failed to allocate fiemap in %s", __func__);
        return nullptr;
    }
    const uint64_t start = partition_start_sector(device);
    map->fm_mapped_extents = n;
    for (uint32_t i = 0; i < n; ++i) {
        map->fm_extents[i].fe_physical = (extents.get()[i].start - start) * 512;
        map->fm_extents[i].fe_length = extents.get()[i].count * 512;
    }
    return map.release();
}
