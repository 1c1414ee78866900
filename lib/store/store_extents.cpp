// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "module_answer.h"
#include "request_block.h"
#include "store/store_register.h"

namespace se = qv::req::store_extents;

static_assert(sizeof(store_extent_list) == 8);

extern "C" int qvctl_data_store_unmap(const char *device, qvctl_status *st)
{
    qv::request_block block;
    if (int r = qv::request_open(block, device, qv::req::min_size, "unmap data store on", st))
        return r;
    qv::store_le<uint32_t>(block.span(), qv::req::data_store_unmap::zero, 0);
    return qvctl_ioctl(QVCTL_REQ_DATA_STORE_UNMAP, block.get(), device, st);
}

// Asked twice: once for the count, then with a block that has room for the extents.
extern "C" store_extent_list *qvctl_store_extents_get(const char *device, uint32_t kind, qvctl_status *st)
{
    auto block = qv::request_new(qv::req::min_size, device);
    if (!block) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory in %s", __func__);
        return nullptr;
    }
    qv::store_le<uint32_t>(block.span(), se::kind, kind);
    if (qvctl_ioctl(QVCTL_REQ_STORE_EXTENTS, block.get(), device, st) != 0)
        return nullptr;
    uint32_t n = qv::load_le<uint32_t>(block.view(), se::count);
    std::size_t length = qv::req::block_length(se::extents, n, qv::req::extent_size);
    if (!qv::request_grow(block, block.length, length, st)) {
        qvctl_status_set(st, errno, "ERROR: failed to reallocate memory in %s", __func__);
        return nullptr;
    }
    if (qvctl_ioctl(QVCTL_REQ_STORE_EXTENTS, block.get(), device, st) != 0)
        return nullptr;
    return qv::answer::store_extents_read(block.view(), st);
}

extern "C" void qvctl_store_extents_free(store_extent_list *list)
{
    std::free(list);
}

extern "C" store_extent_list *qvctl_changelog_store_extents_get(const char *device, qvctl_status *st)
{
    return qvctl_store_extents_get(device, STORE_CHANGELOG, st);
}

extern "C" store_extent_list *qvctl_data_store_extents_get(const char *device, qvctl_status *st)
{
    return qvctl_store_extents_get(device, STORE_DATA, st);
}

extern "C" store_extent_list *qvctl_metadata_store_extents_get(const char *device, qvctl_status *st)
{
    return qvctl_store_extents_get(device, STORE_METADATA, st);
}
