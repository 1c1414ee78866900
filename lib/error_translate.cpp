// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's refusals as messages: one row per value, the device path standing between
// `before` and `after` where the message names it.
#include <array>

#include "qvctl.h"

namespace {

struct error_row {
    int value;
    const char *before;
    const char *after;  // null: the message names no device
};

constexpr std::array<error_row, 18> error_table{{
    {1, "ERROR: permission denied, you must be root", nullptr},
    {6, "ERROR: device ", " is not suitable for snapshot"},
    {7, "ERROR: multiply request is not supported", nullptr},
    {12, "ERROR: failed to allocate memory", nullptr},
    {16, "ERROR: device ", " is busy, please try again later"},
    {17, "ERROR: device ", " already exists"},
    {19, "ERROR: device ", " not found. Possible it is not attached"},
    {700, "ERROR: version mismatch with kernel module", nullptr},
    {701, "ERROR: ", ": a snapshot is in progress"},
    {702, "ERROR: ", ": no snapshot found"},
    {703, "ERROR: operation denied, device ", " is dirty"},
    {704, "ERROR: device ", " has already mapped data store"},
    {706, "ERROR: device ", " has no mapped changelog store"},
    {707, "ERROR: device ", " has no mapped data store"},
    {708, "ERROR: full changelog store is detected on device ", ""},
    {709, "ERROR: device ", " has no mapped metadata store"},
    {711, "ERROR: datastore for device ", " has incorrect size"},
    {0, nullptr, nullptr},
}};

constexpr int busy = 16;
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
        if (value == busy && !device)
            return qvctl_status_set(st, static_cast<int>(code), "%s", module_busy);
        if (!row.after)
            return qvctl_status_set(st, static_cast<int>(code), "%s", row.before);
        return qvctl_status_set(st, static_cast<int>(code), "%s%s%s", row.before, device ? device : no_device,
                                row.after);
    }
    return qvctl_status_set(st, static_cast<int>(code), "ERROR: operation failed (error code: %d)", value);
}
