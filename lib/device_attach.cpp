// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>

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
