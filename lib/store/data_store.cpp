// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cerrno>

#include "store/store_sizes.h"
#include "store/store_path.h"
#include "store/store_pieces.h"

namespace {


// 0 when the module does not hold a data store for the device (or does not know the device).
int data_store_unmapped(const char *device, qvctl_status *st)
{
    qvctl_device *rec = qvctl_device_info_get(device, st);
    if (!rec)
        return st->code == ENODEV ? 0 : st->code;
    bool mapped = (rec->state & DEVICE_FLAG_DATA_STORE_MAPPED) != 0;
    qvctl_device_info_free(rec);
    if (mapped)
        return qvctl_status_set(st, QVCTL_EDATA_MAPPED, "ERROR: device %s has already mapped data store", device);
    return 0;
}

}  // namespace

extern "C" int qvctl_data_store_create(const char *device, uint64_t size, double percentage, qvctl_status *st)
{
    qvctl_status own;
    qvctl_status *s = st ? st : &own;
    *s = qvctl_status{};
    if (int r = data_store_unmapped(device, s); r != 0)
        return r;
    char path[STORE_PATH_SIZE], mount[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_DATA, path, sizeof path, mount, sizeof mount, s); r != 0)
        return r;
    if (int r = data_store_size(device, &size, percentage, s); r != 0)
        return r;
    if (int r = store_room_check(mount, size, device, "not enough", s); r != 0)
        return r;
    return store_files_create(path, size, s);
}

extern "C" int data_store_check(const char *device, uint64_t *size, double percentage, qvctl_status *st)
{
    char path[STORE_PATH_SIZE];
    if (int r = store_path_get(device, STORE_NAME_DATA, path, sizeof path, nullptr, 0, st); r != 0)
        return r;
    if (int r = data_store_size(device, size, percentage, st); r != 0)
        return r;
    return store_files_check(path, *size, st);
}

extern "C" int qvctl_data_store_check(const char *device, uint64_t size, double percentage, qvctl_status *st)
{
    return data_store_check(device, &size, percentage, st);
}
