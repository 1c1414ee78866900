// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl snapshot start|get|complete|cancel.
#include <cerrno>
#include <cstdio>

#include "commands.h"

namespace qvctl_cli {

namespace {

constexpr option_spec start_options[] = {
    {"flags", "N", "the snapshot flags to pass to the module (0 to 255)"},
};

int start(const invocation &inv)
{
    uint64_t flags = 0;
    if (const char *text = inv.option("flags"); text && !parse_number(text, "--flags", 255, flags))
        return EINVAL;
    char snap[4096] = "";
    qvctl_status st{};
    uint32_t code = qvctl_snapshot_start(inv.args[0], snap, static_cast<uint8_t>(flags), &st);
    if (!code)
        std::printf("%s\n", snap);
    return finish(code, st);
}

int get(const invocation &inv)
{
    char snap[4096] = "";
    qvctl_status st{};
    uint32_t code = qvctl_snapshot_get(inv.args[0], snap, &st);
    if (!code)
        std::printf("%s\n", snap);
    return finish(code, st);
}

int complete(const invocation &inv) { return device_op<qvctl_snapshot_complete>(inv, ": snapshot completed"); }
int cancel(const invocation &inv) { return device_op<qvctl_snapshot_cancel>(inv, ": snapshot cancelled"); }

constexpr command snapshot[] = {
    {"start", "DEVICE [--flags N]", "take a snapshot of an attached device; prints the snapshot device", start,
     start_options, 1},
    {"get", "DEVICE", "print the snapshot device of a device", get, {}, 1},
    {"complete", "DEVICE", "end a snapshot once it has been copied", complete, {}, 1},
    {"cancel", "DEVICE", "end a snapshot without completing it", cancel, {}, 1},
};

}  // namespace

std::span<const command> snapshot_commands() { return snapshot; }

}  // namespace qvctl_cli
