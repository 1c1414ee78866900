// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>

#include "store/store_sizes.h"
#include "store/store_path.h"
#include "store/store_pieces.h"

extern "C" int changelog_store_files_check(const char *device, const char *path, qvctl_status *st)
{
    return store_files_check(path, changelog_store_size(device), st);
}

extern "C" int qvctl_changelog_store_create(const char *device, qvctl_status *st)
{
    char path[STORE_PATH_SIZE], mount[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_CHANGELOG, path, sizeof path, mount, sizeof mount, st); r != 0)
        return r;
    uint64_t size = changelog_store_size(device);
    if (size == 0)
        return qvctl_status_set(st, ERANGE, "Invalid changelog store size (%llu)", static_cast<unsigned long long>(size));
    if (int r = store_room_check(mount, size, device, "Not enough", st); r != 0)
        return r;
    return store_files_create_zeroed(path, size, st);
}

// Zeroes the store again in place; its blocks are already counted as used, so no space check.
extern "C" int qvctl_changelog_store_reset(const char *device, qvctl_status *st)
{
    char path[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_CHANGELOG, path, sizeof path, nullptr, 0, st); r != 0)
        return r;
    return store_files_create_zeroed(path, changelog_store_size(device), st);
}

extern "C" int qvctl_changelog_store_check(const char *device, qvctl_status *st)
{
    char path[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_CHANGELOG, path, sizeof path, nullptr, 0, st); r != 0)
        return r;
    return changelog_store_files_check(device, path, st);
}
