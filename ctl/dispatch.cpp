// Finding the command that the words name, help at every level, and the exit status.
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace qvctl_cli {

namespace {

bool is_help(const char *word) { return !std::strcmp(word, "--help") || !std::strcmp(word, "-h"); }

void print_group_help(std::span<const command> table, const std::string &prefix, FILE *stream)
{
    std::fprintf(stream, "Usage: %s COMMAND ...\n\nCommands:\n", prefix.c_str());
    for (const command &c : table)
        std::fprintf(stream, "    %-14s%s\n", c.name, c.summary);
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
        if (!o) {
            const int rc = usage_error("ERROR: unknown option --%.*s", static_cast<int>(name.size()), name.data());
            print_command_help(c, path, stderr);
            return rc;
        }
        const char *value = "1";
        if (o->value) {
            value = inline_value ? inline_value : (i + 1 < argc ? argv[++i] : nullptr);
            if (!value)
                return usage_error("ERROR: option --%s needs a value", o->name);
        }
        inv.values[static_cast<std::size_t>(o - c.options.data())] = value;
    }
    if (inv.args.size() != c.positional) {
        const int rc = usage_error("ERROR: %s takes %zu argument%s, %zu given", path.c_str(), c.positional,
                           c.positional == 1 ? "" : "s", inv.args.size());
        print_command_help(c, path, stderr);
        return rc;
    }
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
    return 22;
}

int finish(uint32_t code, const qvctl_status &st, const std::string &done)
{
    if (!code) {
        if (!done.empty())
            qvctl_log(LOG_NOTICE, stdout, "%s", done.c_str());
        return 0;
    }
    qvctl_log(LOG_ERR, stderr, "%s", st.message[0] ? st.message : "ERROR: operation failed");
    // A code whose low byte is 0 must still read as a failure.
    return (code & 255u) ? static_cast<int>(code & 255u) : 1;
}

int dispatch(std::span<const command> table, const std::string &prefix, int argc, char **argv)
{
    if (argc < 1) {
        const int rc = usage_error("ERROR: %s needs a command", prefix.c_str());
        print_group_help(table, prefix, stderr);
        return rc;
    }
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
    const int rc = usage_error("ERROR: unknown command \"%s\"", argv[0]);
    print_group_help(table, prefix, stderr);
    return rc;
}

}  // namespace qvctl_cli

namespace {

struct level_option {
    const char *name;
    int level;
};

constexpr level_option level_options[] = {
    {"--debug", LOG_DEBUG}, {"--verbose", LOG_INFO}, {"--quiet", LOG_ERR},
};

}  // namespace

extern "C" int ctl_main(int argc, char **argv)
{
    static int log_level;  // the logger keeps a pointer to it
    log_level = LOG_NOTICE;
    qvctl_log_init(&log_level);
    int i = 1;
    for (; i < argc; ++i) {
        const level_option *hit = nullptr;
        for (const level_option &o : level_options)
            if (!std::strcmp(argv[i], o.name))
                hit = &o;
        if (!hit)
            break;
        log_level = hit->level;
        qvctl_log_init(&log_level);
    }
    return qvctl_cli::dispatch(qvctl_cli::top_commands(), "qvctl", argc - i, argv + i);
}
