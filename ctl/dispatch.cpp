// SPDX-License-Identifier: GPL-2.0-or-later
// Finding the command that the words name, help at every level, and the exit status.
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace qvctl_cli {

namespace {

bool is_help(const char *word) { return !std::strcmp(word, "--help") || !std::strcmp(word, "-h"); }

bool json_requested = false;

constexpr option_spec global_options[] = {
    {"debug", nullptr, "show debug messages too"},
    {"verbose", nullptr, "show informational messages too"},
    {"quiet", nullptr, "show errors only"},
    {"json", nullptr, "print the result as JSON (the commands marked --json)"},
    {"version", nullptr, "print the version and exit (also -V)"},
    {"help", nullptr, "print this help and exit (also -h)"},
};

void print_group_help(std::span<const command> table, const std::string &prefix, FILE *stream)
{
    std::fprintf(stream, "Usage: %s [OPTION]... COMMAND ...\n\nCommands:\n", prefix.c_str());
    for (const command &c : table)
        std::fprintf(stream, "    %-14s%s\n", c.name, c.summary);
    std::fprintf(stream, "\nOptions, before or after the command:\n");
    for (const option_spec &o : global_options)
        std::fprintf(stream, "    --%-12s%s\n", o.name, o.help);
    std::fprintf(stream, "\nRun \"%s COMMAND --help\" for a command's arguments.\n", prefix.c_str());
}

void print_command_help(const command &c, const std::string &path, FILE *stream)
{
    std::fprintf(stream, "Usage: %s %s\n\n%s\n", path.c_str(), c.synopsis, c.summary);
    if (!c.options.empty())
        std::fprintf(stream, "\nOptions:\n");
    for (const option_spec &o : c.options) {
        std::string left = (o.letter ? std::string("-") + o.letter + ", " : std::string()) + "--" + o.name +
                           (o.value ? std::string(" ") + o.value : "");
        std::fprintf(stream, "    %-22s%s\n", left.c_str(), o.help);
    }
}

const option_spec *find_option(std::span<const option_spec> options, std::string_view name)
{
    for (const option_spec &o : options)
        if (name == o.name)
            return &o;
    return nullptr;
}

// Splits the words after a command's name into positional words and option values.
int run_command(const command &c, const std::string &path, int argc, char **argv)
{
    invocation inv{{}, std::vector<const char *>(c.options.size()), c.options};
    for (int i = 0; i < argc; ++i) {
        const char *word = argv[i];
        if (is_help(word)) {
            print_command_help(c, path, stdout);
            return 0;
        }
        std::string long_form;
        if (word[0] == '-' && word[1] && word[1] != '-' && !word[2])
            for (const option_spec &o : c.options)
                if (o.letter == word[1])
                    word = (long_form = std::string("--") + o.name).c_str();
        if (std::strncmp(word, "--", 2) != 0 || !word[2]) {
            inv.args.push_back(word);
            continue;
        }
        std::string_view name(word + 2);
        const char *inline_value = nullptr;
        if (auto eq = name.find('='); eq != std::string_view::npos) {
            inline_value = word + 2 + eq + 1;
            name = name.substr(0, eq);
        }
        const option_spec *o = find_option(c.options, name);
        if (!o)
            return usage_error("ERROR: unknown option --%.*s", static_cast<int>(name.size()), name.data());
        const char *value = "1";
        if (o->value) {
            value = inline_value ? inline_value : (i + 1 < argc ? argv[++i] : nullptr);
            if (!value)
                return usage_error("ERROR: option --%s needs a value", o->name);
        }
        inv.values[static_cast<std::size_t>(o - c.options.data())] = value;
    }
    if (inv.args.size() != c.positional)
        return usage_error("ERROR: %s takes %zu argument%s, %zu given", path.c_str(), c.positional,
                           c.positional == 1 ? "" : "s", inv.args.size());
    if (json_requested && !c.json)
        return usage_error("ERROR: %s has no JSON output", path.c_str());
    return c.run(inv);
}

}  // namespace

const char *invocation::option(std::string_view name) const
{
    const option_spec *o = find_option(options, name);
    return o ? values[static_cast<std::size_t>(o - options.data())] : nullptr;
}

int usage_error(const char *fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    qvctl_log(LOG_ERR, stderr, "%s", text);
    std::fprintf(stderr, "Try 'qvctl --help' for more information.\n");
    return EINVAL;
}

bool json_output() { return json_requested; }

int finish(int code, const qvctl_status &st, const std::string &done)
{
    if (!code) {
        if (!done.empty())
            qvctl_log(LOG_NOTICE, stdout, "%s", done.c_str());
        return 0;
    }
    qvctl_log(LOG_ERR, stderr, "%s", st.message[0] ? st.message : "ERROR: operation failed");
    return exit_status(code);
}

int exit_status(int code)
{
    // A code whose low byte is 0 must still read as a failure.
    return (code & 255) ? (code & 255) : (code ? 1 : 0);
}

int dispatch(std::span<const command> table, const std::string &prefix, int argc, char **argv)
{
    if (argc < 1)
        return usage_error("ERROR: %s needs a command", prefix.c_str());
    if (is_help(argv[0])) {
        print_group_help(table, prefix, stdout);
        return 0;
    }
    for (const command &c : table) {
        if (std::strcmp(c.name, argv[0]) != 0)
            continue;
        std::string path = prefix + " " + c.name;
        if (c.group)
            return dispatch(c.group(), path, argc - 1, argv + 1);
        return run_command(c, path, argc - 1, argv + 1);
    }
    return usage_error("ERROR: unknown command \"%s\"", argv[0]);
}

}  // namespace qvctl_cli

namespace {

// Options that hold for the whole run, taken out wherever they stand on the line; the rest is the
// command's. -h and --help stay in place: where they stand says whose help is wanted.
struct global_flag {
    const char *name;
    int level;  // the console level it sets, or -1
    bool *flag;
};

bool version_requested = false;

const global_flag global_flags[] = {
    {"--debug", LOG_DEBUG, nullptr},
    {"--verbose", LOG_INFO, nullptr},
    {"--quiet", LOG_ERR, nullptr},
    {"--json", -1, &qvctl_cli::json_requested},
    {"--version", -1, &version_requested},
    {"-V", -1, &version_requested},
};

const global_flag *find_global(const char *word)
{
    for (const global_flag &g : global_flags)
        if (!std::strcmp(word, g.name))
            return &g;
    return nullptr;
}

}  // namespace

extern "C" int ctl_main(int argc, char **argv)
{
    static int log_level;  // the logger keeps a pointer to it
    log_level = LOG_NOTICE;
    qvctl_cli::json_requested = version_requested = false;
    std::vector<char *> words;
    for (int i = 1; i < argc; ++i) {
        const global_flag *g = find_global(argv[i]);
        if (!g) {
            words.push_back(argv[i]);
            continue;
        }
        if (g->level >= 0)
            log_level = g->level;
        if (g->flag)
            *g->flag = true;
    }
    qvctl_log_init(&log_level);
    if (version_requested)
        return qvctl_cli::print_version();
    return qvctl_cli::dispatch(qvctl_cli::top_commands(), "qvctl", static_cast<int>(words.size()), words.data());
}
