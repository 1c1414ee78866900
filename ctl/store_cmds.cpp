// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl store create|check|reset|register|unmap|extents.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"
#include "json_writer.h"

namespace qvctl_cli {

namespace {


constexpr option_spec size_options[] = {
    {"size", "BYTES", "the data store's size (K, M, G, T suffixes); wins over --percent"},
    {"percent", "P", "the data store's size as a share of the device, below 100 (0 or none: 15)"},
};

constexpr option_spec register_options[] = {
    {"method", "NAME", "auto (default), fiemap, fibmap or kernel"},
    {"chunk", "BYTES", "the marking chunk of the kernel method, a multiple of 512 (default 350M)"},
    {"opt", nullptr, "the metadata store's optional form"},
};

struct data_size {
    uint64_t bytes = 0;
    double percent = 0;
};

bool parse_data_size(const invocation &inv, data_size &out)
{
    const char *size = inv.option("size");
    const char *percent = inv.option("percent");
    return (!size || parse_bytes(size, "--size", out.bytes)) && (!percent || parse_percent(percent, out.percent));
}

// Options that size the data store mean nothing for the changelog store.
bool sized_only_for_data(uint32_t kind, const invocation &inv)
{
    if (kind == STORE_DATA || (!inv.option("size") && !inv.option("percent")))
        return true;
    usage_error("ERROR: --size and --percent apply to the data store only");
    return false;
}

// `done` follows "DEVICE: KIND store".
int store_result(int code, const qvctl_status &st, const char *done, const invocation &inv)
{
    return finish(static_cast<uint32_t>(code), st, std::string(inv.args[1]) + ": " + inv.args[0] + " store " + done);
}

// create and check: the changelog store by the device alone, the data store also by its size.
int sized_store_op(const invocation &inv, int (*changelog)(const char *, qvctl_status *),
                   int (*data)(const char *, uint64_t, double, qvctl_status *), const char *done)
{
    uint32_t kind = 0;
    data_size size;
    if (!parse_store_kind(inv.args[0], false, kind) || !sized_only_for_data(kind, inv) || !parse_data_size(inv, size))
        return EINVAL;
    qvctl_status st{};
    int code = kind == STORE_DATA ? data(inv.args[1], size.bytes, size.percent, &st) : changelog(inv.args[1], &st);
    return store_result(code, st, done, inv);
}

int create(const invocation &inv)
{
    return sized_store_op(inv, qvctl_changelog_store_create, qvctl_data_store_create, "created");
}

// Under --json the verdict is the document, whatever it is; the exit status stays the check's code.
int check(const invocation &inv)
{
    if (!json_output())
        return sized_store_op(inv, qvctl_changelog_store_check, qvctl_data_store_check, "is in order");
    uint32_t kind = 0;
    data_size size;
    if (!parse_store_kind(inv.args[0], false, kind) || !sized_only_for_data(kind, inv) || !parse_data_size(inv, size))
        return EINVAL;
    qvctl_status st{};
    int code = kind == STORE_DATA ? qvctl_data_store_check(inv.args[1], size.bytes, size.percent, &st)
                                  : qvctl_changelog_store_check(inv.args[1], &st);
    json_writer json;
    json.begin_object().key("device").value(inv.args[1]).key("store").value(inv.args[0]);
    json.key("ok").value(code == 0).key("code").value(static_cast<uint64_t>(code));
    json.key("message").value(code ? st.message : "").end_object().print();
    return code ? finish(static_cast<uint32_t>(code), st) : 0;
}

// reset and unmap: operations that only one kind of store has.
int single_store_op(const invocation &inv, const char *kind, int (*op)(const char *, qvctl_status *),
                    const char *verb, const char *done)
{
    if (std::strcmp(inv.args[0], kind) != 0)
        return usage_error("ERROR: only the %s store can be %s, not \"%s\"", kind, verb, inv.args[0]);
    qvctl_status st{};
    return store_result(op(inv.args[1], &st), st, done, inv);
}

int reset(const invocation &inv)
{
    return single_store_op(inv, "changelog", qvctl_changelog_store_reset, "reset", "reset");
}

int register_store(const invocation &inv)
{
    uint32_t kind = 0, method = MAP_METHOD_AUTO;
    uint64_t chunk = 0;
    const char *method_text = inv.option("method");
    const char *chunk_text = inv.option("chunk");
    if (!parse_store_kind(inv.args[0], true, kind) || (method_text && !parse_map_method(method_text, method)) ||
        (chunk_text && !parse_mark_chunk(chunk_text, chunk)))
        return EINVAL;
    if (inv.option("opt") && kind != STORE_METADATA)
        return usage_error("ERROR: --opt applies to the metadata store only");
    const char *device = inv.args[1];
    qvctl_status st{};
    int code = 0;
    if (kind == STORE_CHANGELOG)
        code = qvctl_changelog_store_register_ex(device, method, chunk, &st);
    else if (kind == STORE_DATA)
        code = qvctl_data_store_register_ex(device, method, chunk, &st);
    else
        code = qvctl_metadata_store_register_ex(device, method, chunk, inv.option("opt") ? MAP_FLAG_METADATA_OPT : 0,
                                                &st);
    return store_result(code, st, "registered", inv);
}

int unmap(const invocation &inv)
{
    return single_store_op(inv, "data", qvctl_data_store_unmap, "unmapped", "unmapped");
}

// "FIRST COUNT" lines, one per extent of a list that the library answered, or its failure.
template <class List, class Extent, uint64_t Extent::*First>
int print_extents(List *raw, void (*release)(List *), const qvctl_status &st)
{
    std::unique_ptr<List, void (*)(List *)> list(raw, release);
    if (!list)
        return finish(st.code ? st.code : 1, st);
    for (uint64_t i = 0; i < list->count; ++i)
        std::printf("%llu %llu\n", static_cast<unsigned long long>(list->extents[i].*First),
                    static_cast<unsigned long long>(list->extents[i].count));
    return 0;
}

// The extents that the module holds for a store, in whole-disk sectors.
int extents(const invocation &inv)
{
    uint32_t kind = 0;
    if (!parse_store_kind(inv.args[0], true, kind))
        return EINVAL;
    qvctl_status st{};
    store_extent_list *raw = qvctl_store_extents_get(inv.args[1], kind, &st);
    if (!json_output())
        return print_extents<store_extent_list, sector_extent, &sector_extent::start>(raw, qvctl_store_extents_free,
                                                                                       st);
    std::unique_ptr<store_extent_list, void (*)(store_extent_list *)> list(raw, qvctl_store_extents_free);
    if (!list)
        return finish(st.code ? st.code : 1, st);
    json_writer json;
    json.begin_object().key("device").value(inv.args[1]).key("store").value(inv.args[0]).key("extents").begin_array();
    for (uint64_t i = 0; i < list->count; ++i) {
        const sector_extent &e = list->extents[i];
        json.begin_object().key("start").value(e.start).key("count").value(e.count).end_object();
    }
    json.end_array().end_object().print();
    return 0;
}

}  // namespace

// A file's extents in filesystem blocks, relative to the partition.
int fs_block_map_show(const invocation &inv)
{
    qvctl_status st{};
    fs_block_map *map = qvctl_fs_block_map_get(inv.args[0], inv.args[1], &st);
    return print_extents<fs_block_map, fs_block_extent, &fs_block_extent::first>(map, qvctl_fs_block_map_free, st);
}

namespace {

constexpr command store[] = {
    {"create", "changelog|data DEVICE [--size BYTES | --percent P]",
     "create a store's files in .quorvex at the device's mount point", create, size_options, 2},
    {"check", "changelog|data DEVICE [--size BYTES | --percent P]",
     "check that a store's files are there and of the right size", check, size_options, 2, nullptr, true},
    {"reset", "changelog DEVICE", "re-size and zero the changelog store", reset, {}, 2},
    {"register", "changelog|data|metadata DEVICE [--method NAME] [--chunk BYTES] [--opt]",
     "map a store's files and register their extents with the module", register_store, register_options, 2},
    {"unmap", "data DEVICE", "release the data store from the module", unmap, {}, 2},
    {"extents", "changelog|data|metadata DEVICE", "print the extents the module holds for a store", extents, {}, 2,
     nullptr, true},
};

}  // namespace

std::span<const command> store_commands() { return store; }

}  // namespace qvctl_cli
