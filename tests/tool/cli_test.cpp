// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of the real program: exit statuses, which stream gets what, cut arguments and
// abbreviated long options. None of these runs reaches a snapshot device.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "shell.h"
#include "temp_dir.h"

namespace {

const std::string bin = QVSNAP_BIN;

struct streams {
    int status;
    std::string out, err;
};

// Runs the program once per stream, so that each can be told apart from the other.
streams run(const std::string &args)
{
    auto out = qvtest::sh(bin + " " + args + " 2>/dev/null");
    auto err = qvtest::sh(bin + " " + args + " 2>&1 >/dev/null");
    EXPECT_EQ(out.status, err.status) << args;
    return {out.status, out.out, err.out};
}

std::string usage(const std::string &name)
{
    return "Usage: qvsnap [OPTION] [DEVICE] [FILE]\n\n"
           "    -h, --help                     show this help message\n"
           "    -v, --version                  show quorvex version\n"
           "    -c, --cli-version              show CLI (command line interface) version\n"
           "    -i, --incremental              perform incremental snapshot (base snapshot\n"
           "                                   is assumed otherwise)\n"
           "    -w, --workers                  perform getting snapshot with N parallel\n"
           "                                   workers (default - 1)\n"
           "    -s, --separated                if perform incremental snapshot - write\n"
           "                                   data to separated files FILE.SECTOR_ADDR\n"
           "                                   (default - write data to single file FILE\n"
           "                                   with real offset of each sector)\n"
           "    -p, --hide-progress            do not show progress indicator\n"
           "    -n, --no-space-check           don't check free space on target device\n"
           "    -d, --no-write                 dry-run (don't write to target file\n"
           "\n"
           "For more information see " + name + "(8).\n";
}

TEST(Cli, InformationOptionsAndTheirAbbreviationsEndTheRunAtOnceWithZero)
{
    auto c = run("-c --no-such-option a b c");
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "2\n");
    EXPECT_EQ(c.err, "");

    auto h = run("-h one two three");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, usage(bin));
    EXPECT_EQ(h.err, "");

    auto v = run("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(std::regex_match(v.out, std::regex(R"(qvsnap version \d+\.\d+\.\d+\.\d+ release-\d+\.\d+\.\d+ \S+\n)")))
        << v.out;

    // Options may follow the arguments; the first information option wins.
    EXPECT_EQ(run("/dev/none out -c -h").out, "2\n");

    // Unique abbreviations of long options are taken; --ver could be --verbose or --version.
    EXPECT_EQ(run("--cli").out, "2\n");
    EXPECT_EQ(run("--hel").out, usage(bin));
    auto ambiguous = run("--ver a b");
    EXPECT_EQ(ambiguous.status, 22);
    EXPECT_NE(ambiguous.err.find("ambiguous"), std::string::npos) << ambiguous.err;
    EXPECT_NE(ambiguous.err.find("Usage: qvsnap"), std::string::npos);
    EXPECT_EQ(ambiguous.out, "");
}

TEST(Cli, ArgumentErrorsGoToStandardErrorWithUsage)
{
    const std::string count_error = "ERROR: unexpected number of arguments\n";
    for (const char *args : {"/dev/one", "a b c", "-w 0 /dev/one"}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 22) << args;  // the count is tested before the workers
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.err, count_error + usage(bin)) << args;
    }
    for (const char *args : {"--bogus a b", "-x a b", "a b -w"}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 22) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_NE(r.err.find(usage(bin)), std::string::npos) << args;
        EXPECT_NE(r.err.find(bin + ": "), std::string::npos) << "no diagnostic of its own: " << r.err;
    }
    for (const char *args : {"-w 0 a b", "--workers abc a b", "-w -3 a b"}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 34) << args;
        EXPECT_EQ(r.err, "ERROR: --workers must be greater or equal to 1\n" + usage(bin)) << args;
    }
}

TEST(Cli, SourceThatIsNoBlockDeviceOrMissingEndsWithItsStatus)
{
    qvtest::temp_dir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string file = dir.write("plain", "x");
    std::string out = dir.file("image");

    auto r = run(file + " " + out);
    EXPECT_EQ(r.status, 15);
    EXPECT_EQ(r.err, file + ": not a block device\n");
    EXPECT_EQ(r.out, "");

    auto missing = run(dir.file("none") + " " + out);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "stat failed on " + dir.file("none") + "\n");

    // Quiet: no line at all, the status all the same; abbreviated too.
    for (const char *quiet : {"--quiet", "--qu"}) {
        auto q = run(std::string(quiet) + " " + dir.file("none") + " " + out);
        EXPECT_EQ(q.status, 2);
        EXPECT_EQ(q.out + q.err, "");
    }
    EXPECT_EQ(qvtest::sh("test -e " + out).status, 1) << "the output was created before the source was known";

    // A long device argument is cut to 128 characters.
    std::string longer = "/" + std::string(140, 'd');
    auto cut = run(longer + " out");
    EXPECT_EQ(cut.status, 2);
    EXPECT_EQ(cut.err, "stat failed on " + longer.substr(0, 128) + "\n");
}

}  // namespace
