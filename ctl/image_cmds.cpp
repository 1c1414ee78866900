// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl image verify: an image compared with the snapshot that a device holds.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "commands.h"
#include "json_writer.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

// Exit status of an image that differs from its snapshot (as qvctl backup --verify).
constexpr int image_differs = 9;

constexpr option_spec verify_options[] = {
    {"changed", nullptr, "compare only the blocks of the snapshot's changelog"},
    {"workers", "N", "compare with N parallel workers (default 1)", 'w'},
};

using ull = unsigned long long;

void print_text(const snap_verify_result &r)
{
    std::printf("%llu of %llu blocks differ\n", static_cast<ull>(r.differing), static_cast<ull>(r.blocks));
    if (!r.shown)
        return;
    std::printf("first differing sectors:");
    for (unsigned i = 0; i < r.shown; ++i)
        std::printf(" %llu", static_cast<ull>(r.sectors[i]));
    std::printf("\n");
}

void print_json(const snap_options &o, const snap_verify_result &r)
{
    json_writer j;
    j.begin_object().key("device").value(o.blkdev).key("image").value(o.snapfile).key("snapshot").value(o.snapdev);
    j.key("blocks").value(uint64_t{r.blocks}).key("differing").value(uint64_t{r.differing}).key("sectors").begin_array();
    for (unsigned i = 0; i < r.shown; ++i)
        j.value(uint64_t{r.sectors[i]});
    j.end_array().end_object().print();
}

int verify(const invocation &inv)
{
    const int workers = workers_option(inv);
    if (!workers)
        return EINVAL;
    const bool json = json_output();
    snap_options o;
    snap_options_init(&o);
    std::snprintf(o.blkdev, sizeof o.blkdev, "%.128s", inv.args[0]);
    std::snprintf(o.snapfile, sizeof o.snapfile, "%.128s", inv.args[1]);
    o.workers = workers;
    o.flags = (inv.option("changed") ? SNAP_INCREMENTAL : 0u) |
              (json || !::isatty(STDOUT_FILENO) ? SNAP_HIDE_PROGRESS : 0u);
    snap_signals_install();
    snap_verify_result r{};
    if (uint32_t code = snap_verify_image(&o, &r))
        return finish(code, o.status);
    if (json)
        print_json(o, r);
    else
        print_text(r);
    return r.differing ? image_differs : 0;
}

constexpr command image[] = {
    {"verify", "DEVICE IMAGE [--changed] [-w N] [--json]",
     "compare IMAGE with the snapshot that DEVICE holds; exit 0 only when they are equal", verify, verify_options, 2, nullptr, true},
};

}  // namespace

std::span<const command> image_commands() { return image; }

}  // namespace qvctl_cli
