// SPDX-License-Identifier: GPL-2.0-or-later
// The command line: usage, version texts, the option table, and the program around the run.
#include <getopt.h>
#include <libgen.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build_version.h"
#include "snap.h"

namespace {

// The basename of a copy: POSIX basename may write into its argument.
const char *base_name(const char *name, char (&buf)[4096])
{
    std::snprintf(buf, sizeof buf, "%s", name ? name : "");
    return ::basename(buf);
}

struct usage_line {
    const char *option;  // "" for a continuation line
    const char *text;
};

constexpr usage_line usage_lines[] = {
    {"-h, --help", "show this help message"},
    {"-v, --version", "show quorvex version"},
    {"-c, --cli-version", "show CLI (command line interface) version"},
    {"-i, --incremental", "perform incremental snapshot (base snapshot"},
    {"", "is assumed otherwise)"},
    {"-w, --workers", "perform getting snapshot with N parallel"},
    {"", "workers (default - 1)"},
    {"-s, --separated", "if perform incremental snapshot - write"},
    {"", "data to separated files FILE.SECTOR_ADDR"},
    {"", "(default - write data to single file FILE"},
    {"", "with real offset of each sector)"},
    {"-p, --hide-progress", "do not show progress indicator"},
    {"-n, --no-space-check", "don't check free space on target device"},
    {"-d, --no-write", "dry-run (don't write to target file"},
};

struct flag_option {
    int letter;
    uint32_t bit;
};

constexpr flag_option flag_options[] = {
    {'i', SNAP_INCREMENTAL}, {'s', SNAP_SEPARATED}, {'p', SNAP_HIDE_PROGRESS},
    {'n', SNAP_NO_SPACE_CHECK}, {'d', SNAP_NO_WRITE},
};

}  // namespace

extern "C" void print_usage(const char *name, FILE *stream, int status)
{
    char buf[4096];
    std::fprintf(stream, "Usage: %s [OPTION] [DEVICE] [FILE]\n\n", base_name(name, buf));
    for (const usage_line &l : usage_lines) {
        if (*l.option)
            std::fprintf(stream, "    %-31s%s\n", l.option, l.text);
        else
            std::fprintf(stream, "%35s%s\n", "", l.text);
    }
    std::fprintf(stream, "\nFor more information see %s(8).\n", name);
    std::exit(status);
}

extern "C" void print_version(const char *name)
{
    char buf[4096];
    std::printf("%s version %s\n", base_name(name, buf), QVCTL_BUILD_VERSION);
    std::exit(0);
}

extern "C" void print_cli_version(void)
{
    std::printf("%u\n", CLI_VERSION);
    std::exit(0);
}

extern "C" void snap_options_init(snap_options *opts)
{
    std::memset(opts, 0, sizeof *opts);
    opts->workers = 1;
    opts->flags = 0;
}

extern "C" void snap_options_parse(int argc, char **argv, snap_options *opts, int *log_level)
{
    const option long_options[] = {
        {"debug", no_argument, log_level, LOG_DEBUG},
        {"verbose", no_argument, log_level, LOG_INFO},
        {"quiet", no_argument, log_level, 0},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {"cli-version", no_argument, nullptr, 'c'},
        {"incremental", no_argument, nullptr, 'i'},
        {"workers", required_argument, nullptr, 'w'},
        {"separated", no_argument, nullptr, 's'},
        {"no-space-check", no_argument, nullptr, 'n'},
        {"no-write", no_argument, nullptr, 'd'},
        {"hide-progress", no_argument, nullptr, 'p'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        int c = getopt_long(argc, argv, "hivw:spcnd", long_options, nullptr);
        if (c == -1)
            break;
        if (c == 0) {
            // The syslog mask follows the new level at once.
            qvctl_log_init(log_level);
            continue;
        }
        if (c == 'c')
            print_cli_version();
        if (c == 'h')
            print_usage(argv[0], stdout, 0);
        if (c == 'v')
            print_version(argv[0]);
        if (c == 'w') {
            opts->workers = std::atoi(optarg);
            continue;
        }
        const flag_option *f = nullptr;
        for (const flag_option &candidate : flag_options)
            if (candidate.letter == c)
                f = &candidate;
        if (!f)
            print_usage(argv[0], stderr, 22);
        opts->flags |= f->bit;
    }
    if (argc - optind != 2) {
        qvctl_log(LOG_ERR, stderr, "ERROR: unexpected number of arguments");
        print_usage(argv[0], stderr, 22);
    }
    std::snprintf(opts->blkdev, sizeof opts->blkdev, "%.128s", argv[optind]);
    std::snprintf(opts->snapfile, sizeof opts->snapfile, "%.128s", argv[optind + 1]);
    if (opts->workers < 1) {
        qvctl_log(LOG_ERR, stderr, "ERROR: --workers must be greater or equal to 1");
        print_usage(argv[0], stderr, 34);
    }
}

extern "C" int snap_main(int argc, char **argv)
{
    static int log_level;  // the logger keeps a pointer to it
    log_level = LOG_INFO;
    snap_options opts;
    snap_options_init(&opts);
    qvctl_status_set(&opts.status, 0, "%s", "");
    qvctl_log_init(&log_level);
    snap_options_parse(argc, argv, &opts, &log_level);
    snap_signals_install();

    int result = snap_run(&opts);
    if (result)
        qvctl_log(LOG_ERR, stderr, "%s", opts.status.message);
    return result;
}
