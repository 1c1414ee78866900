// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/mount_table.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "heap_block.h"

namespace {

constexpr int line_size = 4096;

// The resolved path when there is one; names that are no path (proc, tmpfs) stay as written.
const char *resolved_or_same(const char *path, char (&buf)[PATH_MAX])
{
    return ::realpath(path, buf) ? buf : path;
}

}  // namespace

extern "C" struct mntent *mount_entry_find(const char *device, const char *table, struct mntent *entry,
                                           char *buf, int size)
{
    if (!device || !table || !entry || !buf)
        return nullptr;
    qv::unique_file file(::setmntent(table, "r"));
    if (!file)
        return nullptr;
    char device_buf[PATH_MAX];
    const char *wanted = resolved_or_same(device, device_buf);
    while (struct mntent *m = ::getmntent_r(file.get(), entry, buf, size)) {
        char name_buf[PATH_MAX];
        if (std::strcmp(resolved_or_same(m->mnt_fsname, name_buf), wanted) == 0)
            return m;
    }
    return nullptr;
}

namespace qv {

struct mntent *mount_entry_lookup(const char *device, std::span<const char *const> tables,
                                  struct mntent *entry, char *buf, int size)
{
    for (const char *table : tables)
        if (struct mntent *m = mount_entry_find(device, table, entry, buf, size))
            return m;
    return nullptr;
}

int mount_point_from(const char *device, std::span<const char *const> tables, char *out, size_t size)
{
    struct mntent entry;
    char line[line_size];
    struct mntent *m = mount_entry_lookup(device, tables, &entry, line, sizeof line);
    if (!m || !out)
        return -2;
    const std::size_t length = std::strlen(m->mnt_dir);
    if (length >= size)
        return ENAMETOOLONG;
    std::memcpy(out, m->mnt_dir, length + 1);
    return 0;
}

int mount_is_rw_from(const char *device, std::span<const char *const> tables)
{
    struct mntent entry;
    char line[line_size];
    struct mntent *m = mount_entry_lookup(device, tables, &entry, line, sizeof line);
    return m && ::hasmntopt(m, "rw") ? 1 : 0;
}

}  // namespace qv

extern "C" int mount_point_get(const char *device, char *out, size_t size)
{
    return qv::mount_point_from(device, qv::mount_tables, out, size);
}

extern "C" int mount_is_rw(const char *device)
{
    return qv::mount_is_rw_from(device, qv::mount_tables);
}
