// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl changelog count|show.
#include <cstdio>
#include <memory>

#include "commands.h"
#include "json_writer.h"

namespace qvctl_cli {

namespace {

int count(const invocation &inv)
{
    qvctl_status st{};
    uint32_t n = qvctl_changelog_count(inv.args[0], &st);
    if (st.code)
        return finish(st.code, st);
    if (json_output())
        json_writer().begin_object().key("device").value(inv.args[0]).key("blocks").value(uint64_t{n}).end_object()
            .print();
    else
        std::printf("%u\n", n);
    return 0;
}

// One "START COUNT" line per run of changed 4 KiB blocks, START in 512-byte sectors.
int show(const invocation &inv)
{
    qvctl_status st{};
    std::unique_ptr<qvctl_changelog, decltype(&qvctl_changelog_free)> list(qvctl_changelog_get(inv.args[0], &st),
                                                                         qvctl_changelog_free);
    if (!list && st.code)
        return finish(st.code, st);
    const uint64_t n = list ? qvctl_changelog_length(list.get()) : 0;
    if (json_output()) {
        json_writer json;
        json.begin_object().key("device").value(inv.args[0]).key("runs").begin_array();
        for (uint64_t i = 0; i < n; ++i) {
            qvctl_changelog_entry e = qvctl_changelog_item(list.get(), i);
            json.begin_object().key("start").value(e.start).key("count").value(e.count).end_object();
        }
        json.end_array().end_object().print();
        return 0;
    }
    for (uint64_t i = 0; i < n; ++i) {
        qvctl_changelog_entry e = qvctl_changelog_item(list.get(), i);
        std::printf("%llu %llu\n", static_cast<unsigned long long>(e.start), static_cast<unsigned long long>(e.count));
    }
    return 0;
}

constexpr command changelog[] = {
    {"count", "DEVICE", "print the number of 4 KiB blocks changed since the last snapshot", count, {}, 1, nullptr,
     true},
    {"show", "DEVICE", "print the changed blocks as \"START COUNT\" lines (START in sectors)", show, {}, 1, nullptr,
     true},
};

}  // namespace

std::span<const command> changelog_commands() { return changelog; }

}  // namespace qvctl_cli
