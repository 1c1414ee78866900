// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>

#include "bytes.h"
#include "qvctl.h"
#include "changelog_request.h"
#include "request_block.h"

namespace cl = qv::req::changelog;

extern "C" void *changelog_request(uint64_t start, uint32_t capacity, const char *path, qvctl_status *st)
{
    auto block = qv::request_new(qv::req::block_length(cl::entries, capacity, qv::req::extent_size), path);
    if (!block) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for changelog ioctl");
        return nullptr;
    }
    qv::store_le<std::uint32_t>(block.span(), cl::capacity, capacity);
    qv::store_le<std::uint64_t>(block.span(), cl::start, start);
    if (qvctl_ioctl(QVCTL_REQ_CHANGELOG, block.get(), path, st) != 0)
        return nullptr;
    return block.data.release();
}

extern "C" void *changelog_chunk_get(uint64_t start, const char *path, qvctl_status *st)
{
    qv::heap_block block(static_cast<std::uint8_t *>(changelog_request(start, cl::chunk, path, st)));
    if (!block)
        return nullptr;
    uint32_t got = qv::load_le<std::uint32_t>(qv::bytes(block.get(), cl::entries), cl::returned);
    return got == 0 ? nullptr : block.release();
}

extern "C" uint32_t qvctl_changelog_count(const char *path, qvctl_status *st)
{
    qv::heap_block block(static_cast<std::uint8_t *>(changelog_request(0, 0, path, st)));
    if (!block)
        return 0;
    return qv::load_le<std::uint32_t>(qv::bytes(block.get(), cl::entries), cl::returned);
}
