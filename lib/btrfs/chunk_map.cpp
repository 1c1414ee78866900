// SPDX-License-Identifier: LGPL-2.1-or-later
#include <search.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "btrfs/btrfs.h"

namespace {

const chunk_map_entry &entry_of(const void *p) { return *static_cast<const chunk_map_entry *>(p); }

// The lowest start above `address` seen so far in a walk.
struct next_search {
    uint64_t address;
    bool found;
    uint64_t start;
};

void next_visit(const void *nodep, VISIT which, void *closure)
{
    if (which != postorder && which != leaf)
        return;
    auto &s = *static_cast<next_search *>(closure);
    const uint64_t start = entry_of(*static_cast<void *const *>(nodep)).logical;
    if (start > s.address && (!s.found || start < s.start))
        s = {s.address, true, start};
}

void dump_visit(const void *nodep, VISIT which, int)
{
    // Each entry once, in order: an inner node after its left subtree, a leaf at its only visit.
    if (which != postorder && which != leaf)
        return;
    const chunk_map_entry &e = entry_of(*static_cast<void *const *>(nodep));
    std::printf("logical = %llu, physical = %llu, length = %llu\n", static_cast<unsigned long long>(e.logical),
                static_cast<unsigned long long>(e.physical), static_cast<unsigned long long>(e.length));
}

}  // namespace

extern "C" int chunk_map_compare(const void *a, const void *b)
{
    const chunk_map_entry &sought = entry_of(a), &in_tree = entry_of(b);
    if (sought.logical >= in_tree.logical && sought.logical - in_tree.logical < in_tree.length)
        return 0;
    if (sought.logical < in_tree.logical)
        return -1;
    if (sought.logical > in_tree.logical)
        return 1;
    return 0;
}

extern "C" int chunk_map_insert(chunk_map *map, uint64_t logical, uint64_t physical, uint64_t length,
                                qvctl_status *st)
{
    auto *e = static_cast<chunk_map_entry *>(std::malloc(sizeof(chunk_map_entry)));
    if (!e) {
        qvctl_status_set(st, errno, "malloc failed: %s", std::strerror(errno));
        return ENOMEM;
    }
    *e = {logical, physical, length};
    void *slot = tsearch(e, map, chunk_map_compare);
    if (!slot) {
        int err = errno;
        std::free(e);
        return qvctl_status_set(st, err, "tsearch failed: %s", std::strerror(err));
    }
    // A range already mapped keeps its first record.
    if (*static_cast<void **>(slot) != e)
        std::free(e);
    return 0;
}

extern "C" int chunk_map_find(chunk_map *map, uint64_t address, chunk_map_entry *found)
{
    const chunk_map_entry key{address, 0, 0};
    void *slot = tfind(&key, map, chunk_map_compare);
    if (!slot)
        return 0;
    *found = entry_of(*static_cast<void **>(slot));
    return 1;
}

extern "C" uint64_t chunk_map_translate(chunk_map *map, uint64_t address)
{
    chunk_map_entry e{};
    return chunk_map_find(map, address, &e) ? address - e.logical + e.physical : address;
}

extern "C" int chunk_map_next_start(chunk_map *map, uint64_t address, uint64_t *start)
{
    next_search s{address, false, 0};
    if (map)
        twalk_r(*map, next_visit, &s);
    if (s.found)
        *start = s.start;
    return s.found;
}

extern "C" int chunk_map_locate(chunk_map *map, uint64_t address, const char *where, uint64_t *physical,
                                qvctl_status *st)
{
    chunk_map_entry e{};
    if (!chunk_map_find(map, address, &e)) {
        *physical = address;
        return 0;
    }
    const char *why = e.physical == BTRFS_CHUNK_SPREAD   ? "whose data is striped across devices"
                      : e.physical == BTRFS_CHUNK_ABSENT ? "with no stripe on this device"
                                                         : nullptr;
    if (why)
        return qvctl_status_set(st, QVCTL_EBADDATA, "ERROR: %s: btrfs address %llu lies in a chunk %s", where,
                                static_cast<unsigned long long>(address), why);
    *physical = address - e.logical + e.physical;
    return 0;
}

extern "C" void chunk_map_free(chunk_map *map)
{
    if (!map)
        return;
    tdestroy(*map, std::free);
    *map = nullptr;
}

extern "C" void chunk_map_dump(chunk_map *map)
{
    if (map)
        twalk(*map, dump_visit);
}
