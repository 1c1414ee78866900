// SPDX-License-Identifier: LGPL-2.1-or-later
// The small operations that every request-building operation shares.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build_version.h"
#include "bytes.h"
#include "qvctl.h"
#include "request_layout.h"

extern "C" void qvctl_request_init(void *block)
{
    qv::mut_bytes b(static_cast<std::uint8_t *>(block), qv::req::min_size);
    std::memset(b.data(), 0, b.size());
    qv::store_le<std::uint32_t>(b, qv::req::version, QVCTL_API_VERSION);
    qv::store_le<std::uint32_t>(b, qv::req::size, QVCTL_REQUEST_MIN_SIZE);
}

extern "C" uint32_t qvctl_path_check(const char *path, qvctl_status *st)
{
    if (path && std::strlen(path) <= QVCTL_PATH_MAX_LEN)
        return 0;
    return qvctl_status_set(st, EINVAL, "ERROR: Module interface doesn't accept path longer than %d symbols",
                            QVCTL_PATH_MAX_LEN);
}

extern "C" void *qvctl_request_grow(void *block, uint64_t old_size, uint64_t new_size, qvctl_status *st)
{
    if (!block) {
        qvctl_status_set(st, EINVAL, "ERROR: Invalid pointer in %s", __func__);
        return nullptr;
    }
    if (new_size == old_size)
        return block;
    if (old_size > new_size) {
        qvctl_status_set(st, EINVAL, "ERROR: Header (%llu) MUST be less than new_size (%llu) in %s",
                         static_cast<unsigned long long>(old_size), static_cast<unsigned long long>(new_size),
                         __func__);
        return nullptr;
    }
    void *grown = std::realloc(block, new_size);
    if (!grown) {
        qvctl_status_set(st, errno, "ERROR: Failed to reallocate %llu memory",
                         static_cast<unsigned long long>(new_size));
        return nullptr;
    }
    std::memset(static_cast<char *>(grown) + old_size, 0, new_size - old_size);
    return grown;
}

extern "C" uint64_t qvctl_fit_count(uint64_t total, uint64_t header, uint64_t item)
{
    if (total <= header || item == 0)
        return 0;
    return (total - header) / item;
}

extern "C" int qvctl_version_get(char *buf, size_t len)
{
    if (buf && len)
        std::snprintf(buf, len, "libqvctl version: %s (API version %u)", QVCTL_BUILD_VERSION, QVCTL_API_VERSION);
    return 0;
}

extern "C" uint32_t qvctl_swap32(uint32_t v)
{
    return qv::byteswap(v);
}

extern "C" uint64_t qvctl_swap64(uint64_t v)
{
    return qv::byteswap(v);
}
