// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's refusals as messages: one row per value, the device path standing between
// `before` and `after` where the message names it.
#include <array>
#include <cerrno>

#include "qvctl.h"

namespace {

// The module's own refusals as it answers them, before the status record keeps their low byte.
enum module_error : int {
    version_mismatch = 700,
    snapshot_in_progress = 701,
    no_snapshot = 702,
    device_dirty = 703,
    data_store_mapped = 704,
    no_changelog_store = 706,
    no_data_store = 707,
    changelog_store_full = 708,
    no_metadata_store = 709,
    data_store_size = 711,
};

struct error_row {
    int value;
    const char *before;
    const char *after;  // null: the message names no device
};

constexpr std::array<error_row, 18> error_table{{
    {EPERM, "ERROR: permission denied, you must be root", nullptr},
    {ENXIO, "ERROR: device ", " is not suitable for snapshot"},
    {E2BIG, "ERROR: multiply request is not supported", nullptr},
    {ENOMEM, "ERROR: failed to allocate memory", nullptr},
    {EBUSY, "ERROR: device ", " is busy, please try again later"},
    {EEXIST, "ERROR: device ", " already exists"},
    {ENODEV, "ERROR: device ", " not found. Possible it is not attached"},
    {version_mismatch, "ERROR: version mismatch with kernel module", nullptr},
    {snapshot_in_progress, "ERROR: ", ": a snapshot is in progress"},
    {no_snapshot, "ERROR: ", ": no snapshot found"},
    {device_dirty, "ERROR: operation denied, device ", " is dirty"},
    {data_store_mapped, "ERROR: device ", " has already mapped data store"},
    {no_changelog_store, "ERROR: device ", " has no mapped changelog store"},
    {no_data_store, "ERROR: device ", " has no mapped data store"},
    {changelog_store_full, "ERROR: full changelog store is detected on device ", ""},
    {no_metadata_store, "ERROR: device ", " has no mapped metadata store"},
    {data_store_size, "ERROR: datastore for device ", " has incorrect size"},
    {0, nullptr, nullptr},
}};

constexpr const char *module_busy = "ERROR: kernel module is busy, please try again later";
// Only the device list names no device; its path is shown as this.
constexpr const char *no_device = "(no device)";

}  // namespace

extern "C" uint32_t qvctl_error_translate(qvctl_status *st, int value, const char *device)
{
    const auto code = static_cast<uint32_t>(value) & 255u;
    for (const auto &row : error_table) {
        if (!row.before || row.value != value)
            continue;
        if (value == EBUSY && !device)
            return qvctl_status_set(st, static_cast<int>(code), "%s", module_busy);
        if (!row.after)
            return qvctl_status_set(st, static_cast<int>(code), "%s", row.before);
        return qvctl_status_set(st, static_cast<int>(code), "%s%s%s", row.before, device ? device : no_device,
                                row.after);
    }
    return qvctl_status_set(st, static_cast<int>(code), "ERROR: operation failed (error code: %d)", value);
}
