// SPDX-License-Identifier: GPL-2.0-or-later
// The qvctl command line: a table of commands, one level of groups, options of the form --name VALUE.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qvctl.h"

namespace qvctl_cli {

struct option_spec {
    const char *name;   // without the leading "--"
    const char *value;  // the value's placeholder, or null for a flag
    const char *help;
    char letter = 0;  // the short form "-x", where there is one
};

// What a command was given: its positional words and, per option of its table, the value (a flag
// reads "1"; absent options are null).
struct invocation {
    std::vector<const char *> args;
    std::vector<const char *> values;
    const char *option(std::string_view name) const;
    std::span<const option_spec> options;
};

struct command;
using command_list = std::span<const command> (*)();

struct command {
    const char *name;
    const char *synopsis;  // the words after the name
    const char *summary;
    int (*run)(const invocation &);
    std::span<const option_spec> options{};
    std::size_t positional = 0;
    command_list group = nullptr;  // set for a group: its commands
    bool json = false;             // has a --json form of its output
};

std::span<const command> top_commands();
std::span<const command> snapshot_commands();
std::span<const command> changelog_commands();
std::span<const command> store_commands();
std::span<const command> image_commands();
std::span<const command> repo_commands();
extern const command backup_entry;
std::span<const command> device_commands();

int fs_block_map_show(const invocation &inv);

// Runs argv[0] of `argc` words against `table`; `prefix` is the command path so far, for help.
int dispatch(std::span<const command> table, const std::string &prefix, int argc, char **argv);

// The end of an operation: its message through the logger when it failed, else `done` as a notice;
// the exit status.
int finish(int code, const qvctl_status &st, const std::string &done = {});
// The exit status of a code: its low byte, or 1 for a failure whose low byte is 0.
int exit_status(int code);

// An operation on one device that reports nothing but success or failure; `done` follows the path.
template <uint32_t (*op)(const char *, qvctl_status *)>
int device_op(const invocation &inv, const char *done)
{
    qvctl_status st{};
    return finish(op(inv.args[0], &st), st, inv.args[0] + std::string(done));
}
// One line of diagnosis and a pointer to the help on standard error; the usage exit status, 22.
int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The program's and the library's versions on standard output; 0.
int print_version();

// Whether --json was given: the command prints one JSON document on standard output.
bool json_output();

// Option values; false (after a usage message) when the text is not one.
bool parse_bytes(const char *text, const char *what, uint64_t &out);
bool parse_number(const char *text, const char *what, uint64_t max, uint64_t &out);
// The -w/--workers value, 1 when absent; 0 when the value was refused (the error is already shown).
int workers_option(const invocation &inv);

// The options that say how to reach Ceph, for a repository there, after a command's own.
constexpr option_spec ceph_option_specs[] = {
    {"ceph-conf", "FILE", "for a repository in Ceph: its configuration (default: Ceph's own)"},
    {"ceph-id", "NAME", "for a repository in Ceph: the client to connect as (default: Ceph's own)"},
    {"ceph-timeout", "SECONDS", "for a repository in Ceph: how long any call may take (default 30)"},
};
template <std::size_t N> constexpr std::array<option_spec, N + std::size(ceph_option_specs)> with_ceph(const option_spec (&own)[N])
{
    std::array<option_spec, N + std::size(ceph_option_specs)> all{};
    std::size_t i = 0;
    for (const option_spec &o : own)
        all[i++] = o;
    for (const option_spec &o : ceph_option_specs)
        all[i++] = o;
    return all;
}
struct ceph_options;
// False, after a usage message, on a malformed value.
bool ceph_options_of(const invocation &inv, ceph_options &out);
bool parse_percent(const char *text, double &out);
bool parse_mark_chunk(const char *text, uint64_t &out);
bool parse_map_method(const char *text, uint32_t &out);
bool parse_store_kind(const char *text, bool allow_metadata, uint32_t &out);

}  // namespace qvctl_cli

extern "C" int ctl_main(int argc, char **argv);
