// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "changelog_request.h"
#include "heap_block.h"
#include "qvctl.h"

namespace {

constexpr std::size_t list_header = 8, item_size = 12;
static_assert(sizeof(qvctl_changelog_range) == item_size);

std::uint64_t list_count(const void *list)
{
    std::uint64_t n = 0;
    if (list)
        std::memcpy(&n, list, sizeof n);
    return n;
}

}  // namespace

extern "C" int changelog_list_append(const qvctl_changelog_entry *entry, uint32_t, void *holder, qvctl_status *st)
{
    if (!holder)
        return qvctl_status_set(st, EINVAL, "ERROR: %s(): data should not be NULL", __func__);
    auto &list = *static_cast<void **>(holder);
    std::uint64_t n = list_count(list) + 1;
    void *grown = std::realloc(list, item_size * n + list_header);
    if (!grown) {
        int e = errno;
        std::free(list);
        list = nullptr;
        return qvctl_status_set(st, e, "ERROR: Failed to allocate memory for changelog chunk");
    }
    list = grown;
    auto *base = static_cast<std::uint8_t *>(grown);
    std::memcpy(base, &n, sizeof n);
    qvctl_changelog_range item{entry->start, static_cast<uint32_t>(entry->count)};
    std::memcpy(base + list_header + item_size * (n - 1), &item, item_size);
    return 0;
}

extern "C" qvctl_changelog *qvctl_changelog_get(const char *path, qvctl_status *st)
{
    void *list = std::calloc(1, list_header);
    if (!list) {
        qvctl_status_set(st, errno, "ERROR: Failed to allocate memory for changelog");
        return nullptr;
    }
    uint32_t total = qvctl_changelog_count(path, st);
    if (total == 0) {
        std::free(list);
        return nullptr;
    }
    qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate(path, total, changelog_list_append, &list, st));
    if (!stats) {
        std::free(list);
        return nullptr;
    }
    return static_cast<qvctl_changelog *>(list);
}

extern "C" void qvctl_changelog_free(qvctl_changelog *list)
{
    std::free(list);
}
