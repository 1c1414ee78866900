// SPDX-License-Identifier: LGPL-2.1-or-later
// Requests on one device: attach with what the filesystem needs the module to know, detach, dump,
// reset, and restore with its second path.
#include <cerrno>
#include <cstring>

#include "qvctl_internal.h"
#include "request_block.h"

namespace att = qv::req::attach;

extern "C" uint32_t qvctl_device_attach(const char *path, qvctl_status *caller)
{
    if (int r = qvctl_path_check(path, caller))
        return r;
    fs_type type = fs_type_detect(path);
    if (type == FS_TYPE_UNKNOWN)
        return qvctl_status_set(caller, EINVAL, "ERROR: Unsupported filesystem on device %s", path);
    uint32_t n = fs_meta_extents_get(path, type, nullptr);
    auto block = qv::request_new(qv::req::block_length(att::extents, n, qv::req::extent_size), path);
    if (!block)
        return qvctl_status_set(caller, errno, "ERROR: Insufficient memory to attach %s", path);
    // Room for n extents was sized above; a second answer larger than that is not written past it.
    sector_extent extents[1] = {};
    uint32_t count = fs_meta_extents_get(path, type, extents);
    count = count < n ? count : n;
    auto out = block.span();
    qv::store_le<uint32_t>(out, att::fs_type, type);
    qv::store_le<uint32_t>(out, att::count, count);
    for (uint32_t i = 0; i < count; ++i) {
        qv::store_le<uint64_t>(out, att::extents + i * qv::req::extent_size, extents[i].start);
        qv::store_le<uint64_t>(out, att::extents + i * qv::req::extent_size + 8, extents[i].count);
    }
    qvctl_status own{};
    qvctl_status *st = caller ? caller : &own;
    out[att::flags] = static_cast<uint8_t>(attach_flags_get(path, type, st));
    if (st->code != 0)
        return st->code;
    return qvctl_ioctl(QVCTL_REQ_ATTACH, block.get(), path, caller);
}

// Requests without a payload of their own: detach, dump, reset; and restore with its second path.
namespace {

int simple_request(uint32_t code, const char *path, const char *what, qvctl_status *st)
{
    qv::request_block block;
    if (int r = qv::request_open(block, path, qv::req::min_size, what, st))
        return r;
    return qvctl_ioctl(code, block.get(), path, st);
}

}  // namespace

extern "C" uint32_t qvctl_device_detach(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_DETACH, path, "detach", st);
}

extern "C" uint32_t qvctl_kernel_dump(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_DUMP, path, "dump kernel structures for", st);
}

extern "C" uint32_t qvctl_device_reset(const char *path, qvctl_status *st)
{
    return simple_request(QVCTL_REQ_RESET, path, "reset", st);
}

extern "C" uint32_t qvctl_device_restore(const char *device, const char *target, qvctl_status *st)
{
    if (int r = qvctl_path_check(device, st))
        return r;
    if (int r = qvctl_path_check(target, st))
        return r;
    auto block = qv::request_new(qv::req::min_size, device);
    if (!block)
        return qvctl_status_set(st, errno, "ERROR: Insufficient memory to restore %s", target);
    std::strncpy(reinterpret_cast<char *>(block.data.get() + qv::req::restore::second_path), target,
                 qv::req::device_width);
    return qvctl_ioctl(QVCTL_REQ_RESTORE, block.get(), target, st);
}
