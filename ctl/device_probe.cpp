// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl device probe: what the library finds out about a device by itself, without the module,
// as "name: value" lines or one flat JSON object.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "commands.h"
#include "json_writer.h"
#include "qvctl_internal.h"

namespace qvctl_cli {

namespace {

struct device_facts {
    std::string path;
    fs_type type = FS_TYPE_UNKNOWN;
    std::string type_name;  // libblkid's; empty when it found nothing
    uint64_t size = 0, start = 0;
    std::optional<std::string> mount_point;
    bool read_write = false;
    std::optional<uint32_t> xfs_version;
};

int facts_get(const char *device, device_facts &out, qvctl_status &st)
{
    char resolved[PATH_MAX];
    if (!::realpath(device, resolved))
        return qvctl_status_set(&st, errno, "ERROR: Could not resolve path \"%s\"", device);
    if (block_device_check(resolved, &st); st.code)
        return st.code;
    out.path = resolved;
    out.size = device_size_sectors(resolved, &st);
    if (st.code)
        return st.code;
    if (char name[64]; qv::fs_type_name_probe(resolved, name)) {
        out.type_name = name;
        out.type = qv::fs_type_from_name(name);
    }
    out.start = partition_start_sector(resolved);
    if (char mount[4096]; mount_point_get(resolved, mount, sizeof mount) == 0) {
        out.mount_point = mount;
        out.read_write = mount_is_rw(resolved) == 1;
    }
    if (out.type == FS_TYPE_XFS) {
        qvctl_status own{};
        if (uint32_t v = 0; xfs_sb_version(resolved, &v, &own) == 0)
            out.xfs_version = v;
    }
    return 0;
}

void print_json(const device_facts &f)
{
    json_writer o;
    o.begin_object().key("device").value(f.path).key("fs_type").value(static_cast<uint64_t>(f.type)).key("fs_name");
    if (f.type_name.empty())
        o.null();
    else
        o.value(f.type_name);
    o.key("size_sectors").value(f.size).key("partition_start").value(f.start).key("mount_point");
    if (f.mount_point)
        o.value(*f.mount_point);
    else
        o.null();
    o.key("read_write").value(f.read_write);
    if (f.xfs_version)
        o.key("xfs_sb_version").value(uint64_t{*f.xfs_version});
    o.end_object().print();
}

void print_text(const device_facts &f)
{
    std::printf("device: %s\n", f.path.c_str());
    std::printf("fs type: %u (%s)\n", f.type, f.type_name.empty() ? "none found" : f.type_name.c_str());
    std::printf("size: %llu sectors\n", static_cast<unsigned long long>(f.size));
    std::printf("partition start: %llu\n", static_cast<unsigned long long>(f.start));
    std::printf("mount point: %s\n", f.mount_point ? f.mount_point->c_str() : "not mounted");
    std::printf("read-write: %s\n", f.read_write ? "yes" : "no");
    if (f.xfs_version)
        std::printf("xfs superblock version: %u\n", *f.xfs_version);
}

int probe(const invocation &inv)
{
    device_facts facts;
    qvctl_status st{};
    if (uint32_t code = facts_get(inv.args[0], facts, st))
        return finish(code, st);
    if (json_output())
        print_json(facts);
    else
        print_text(facts);
    return 0;
}

constexpr command device[] = {
    {"probe", "DEVICE [--json]",
     "show a device as the library sees it: path, fs type, size, start, mount",
     probe, {}, 1, nullptr, true},
};

}  // namespace

std::span<const command> device_commands() { return device; }

}  // namespace qvctl_cli
