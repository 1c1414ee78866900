// SPDX-License-Identifier: GPL-2.0-or-later
// The top-level commands: version, attach, detach, info, list, dump, restore, reset, and the table.
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "attach_identity.h"
#include "build_version.h"
#include "commands.h"
#include "json_writer.h"

namespace qvctl_cli {

namespace {

int version(const invocation &) { return print_version(); }

// Backups learn of a break in tracking from the identity; an attach that could not record one still
// stands, and the next incremental runs as a resync.
int attach(const invocation &inv)
{
    qvctl_status st{};
    uint32_t code = qvctl_device_attach(inv.args[0], &st);
    qvctl_status noted{};
    if (code == 0 && !attach_identity_record(inv.args[0], noted)) {
        const char *why = noted.message;
        if (std::strncmp(why, "ERROR: ", 7) == 0)
            why += 7;
        qvctl_log(LOG_WARNING, stderr, "WARNING: no attach identity recorded (%s); the next incremental backup of %s "
                  "will be a resync", why, inv.args[0]);
    }
    return finish(code, st, inv.args[0] + std::string(" attached"));
}

// Detach and reset (which drops the changelog) both break tracking: the identity goes with it.
template <uint32_t (*op)(const char *, qvctl_status *)>
int untracking_op(const invocation &inv, const char *done)
{
    qvctl_status st{};
    uint32_t code = op(inv.args[0], &st);
    if (code == 0)
        attach_identity_remove(inv.args[0]);
    return finish(code, st, inv.args[0] + std::string(done));
}

int detach(const invocation &inv) { return untracking_op<qvctl_device_detach>(inv, " detached"); }
int reset(const invocation &inv) { return untracking_op<qvctl_device_reset>(inv, " reset"); }
int dump(const invocation &inv) { return device_op<qvctl_kernel_dump>(inv, ": state written to the kernel log"); }


int restore(const invocation &inv)
{
    qvctl_status st{};
    return finish(qvctl_device_restore(inv.args[0], inv.args[1], &st), st,
                  std::string(inv.args[0]) + " restored from " + inv.args[1]);
}

// The module's four texts as columns, then the state word.
void print_header() { std::printf("%-24s %-24s %-10s %-8s %s\n", "DEVICE", "SNAPSHOT", "STATE", "FS", "FLAGS"); }

void print_record(const qvctl_device &d)
{
    std::printf("%-24.128s %-24.128s %-10.128s %-8.128s 0x%x%s\n", d.text[0], d.text[1][0] ? d.text[1] : "-", d.text[2],
                d.text[3], d.state, (d.state & DEVICE_FLAG_DATA_STORE_MAPPED) ? " data-store-mapped" : "");
}

// The module's texts need not be terminated within their 128 bytes.
std::string_view text_of(const char (&field)[128]) { return {field, strnlen(field, sizeof field)}; }

void json_record(json_writer &json, const qvctl_device &d)
{
    json.begin_object().key("device").value(text_of(d.text[0])).key("snapshot");
    if (d.text[1][0])
        json.value(text_of(d.text[1]));
    else
        json.null();
    json.key("state").value(text_of(d.text[2])).key("fs").value(text_of(d.text[3]));
    json.key("flags").value(uint64_t{d.state});
    json.key("data_store_mapped").value((d.state & DEVICE_FLAG_DATA_STORE_MAPPED) != 0).end_object();
}

int info(const invocation &inv)
{
    qvctl_status st{};
    std::unique_ptr<qvctl_device, decltype(&qvctl_device_info_free)> rec(qvctl_device_info_get(inv.args[0], &st),
                                                                         qvctl_device_info_free);
    if (!rec)
        return finish(st.code ? st.code : 1, st);
    if (json_output()) {
        json_writer json;
        json_record(json, *rec);
        json.print();
        return 0;
    }
    print_header();
    print_record(*rec);
    return 0;
}

int list(const invocation &)
{
    qvctl_status st{};
    std::unique_ptr<qvctl_device_list, decltype(&qvctl_device_list_free)> devices(qvctl_device_list_get(&st),
                                                                                 qvctl_device_list_free);
    if (!devices && st.code)
        return finish(st.code, st);
    qvctl_device d;
    if (json_output()) {
        json_writer json;
        json.begin_object().key("devices").begin_array();
        for (unsigned i = 0; qvctl_device_list_record(devices.get(), i, &d) == 0; ++i)
            json_record(json, d);
        json.end_array().end_object().print();
        return 0;
    }
    if (!devices) {
        std::printf("no devices attached\n");
        return 0;
    }
    print_header();
    for (unsigned i = 0; qvctl_device_list_record(devices.get(), i, &d) == 0; ++i)
        print_record(d);
    return 0;
}

// Not constexpr: the backup entry is defined with its command.
const command top[] = {
    {"version", "", "show the versions of qvctl and libqvctl", version},
    {"attach", "DEVICE", "start tracking the changes of a block device", attach, {}, 1},
    {"detach", "DEVICE", "stop tracking a block device", detach, {}, 1},
    {"info", "DEVICE", "show what the module knows of an attached device", info, {}, 1, nullptr, true},
    {"list", "", "list the attached devices", list, {}, 0, nullptr, true},
    {"device", "", "probe a device as the library sees it, without the module", nullptr, {}, 0, device_commands},
    {"snapshot", "", "start, complete, cancel or find a snapshot", nullptr, {}, 0, snapshot_commands},
    {"changelog", "", "count or show the blocks changed since the last snapshot", nullptr, {}, 0,
     changelog_commands},
    {"store", "", "create, check, register and inspect the store files", nullptr, {}, 0, store_commands},
    backup_entry,
    {"repo", "", "restore, list, check, prune and mount the points of a backup repository", nullptr, {}, 0,
     repo_commands},
    {"image", "", "compare an image made by qvsnap with a device's snapshot", nullptr, {}, 0, image_commands},
    {"fs-block-map", "DEVICE FILE", "print the filesystem blocks that a file occupies, as \"FIRST COUNT\" lines",
     fs_block_map_show, {}, 2},
    {"dump", "DEVICE", "write the module's state of a device to the kernel log", dump, {}, 1},
    {"restore", "DEVICE TARGET", "restore a device's tracking state from a target device", restore, {}, 2},
    {"reset", "DEVICE", "reset a device's tracking state", reset, {}, 1},
};

}  // namespace

int print_version()
{
    char lib[128];
    qvctl_version_get(lib, sizeof lib);
    std::printf("qvctl version %s\n%s\n", QVCTL_BUILD_VERSION, lib);
    return 0;
}

std::span<const command> top_commands() { return top; }

}  // namespace qvctl_cli
