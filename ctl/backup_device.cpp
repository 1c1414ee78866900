// SPDX-License-Identifier: GPL-2.0-or-later
// The device side of a backup's checks: attached with its three stores mapped, and its filesystem's
// name for the record.
#include <cerrno>
#include <memory>
#include <string>

#include "backup_checks.h"
#include "qvctl_internal.h"

namespace qvctl_cli {

namespace {

struct store_name {
    std::uint32_t kind;
    const char *name;
};
constexpr store_name stores[] = {{STORE_CHANGELOG, "changelog"}, {STORE_DATA, "data"}, {STORE_METADATA, "metadata"}};

}  // namespace

std::string fs_name(const char *device)
{
    fs_type t = fs_type_detect(device);
    for (const auto &row : qv::fs_type_table)
        if (row.id == t)
            return std::string(row.name);
    return "unknown";
}

// Attached, with all three stores mapped: else what is missing and the command that fixes it.
int device_ready(const char *device, qvctl_status &st)
{
    std::unique_ptr<qvctl_device, decltype(&qvctl_device_info_free)> rec(qvctl_device_info_get(device, &st),
                                                                         qvctl_device_info_free);
    if (!rec) {
        if (st.code == ENODEV)
            return qvctl_status_set(&st, ENODEV, "ERROR: %s is not attached; run \"qvctl attach %s\" first", device,
                                    device);
        return static_cast<int>(st.code ? st.code : EIO);
    }
    for (const store_name &s : stores) {
        qvctl_status ignored{};
        store_extent_list *list = qvctl_store_extents_get(device, s.kind, &ignored);
        bool mapped = list && list->count > 0;
        qvctl_store_extents_free(list);
        if (!mapped)
            return qvctl_status_set(&st, ENXIO,
                                    "ERROR: the %s store of %s is not mapped; run \"qvctl store register %s %s\" first",
                                    s.name, device, s.name, device);
    }
    return 0;
}

}  // namespace qvctl_cli
