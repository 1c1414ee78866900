// SPDX-License-Identifier: GPL-2.0-or-later
// The library as an outside program sees it: what the shared object exports, whether the header
// stands alone in strict C, and whether the manual's example builds and runs against it.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "shell.h"

namespace {

const std::string src = QV_SOURCE_DIR, build = QV_BUILD_DIR;

std::set<std::string> lines_of(const std::string &command)
{
    std::istringstream in(qvtest::sh_ok(command));
    std::set<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.insert(line);
    return out;
}

// The header's operations as the compiler reads them (its inline accessors are no exports), against
// the shared object's defined symbols, each of which must carry the one version.
TEST(PublicApi, SharedLibraryExportsExactlyTheHeadersOperationsUnderOneVersion)
{
    const auto declared = lines_of("printf '#include <qvctl.h>\\n' | gcc -x c -std=c99 -fsyntax-only -I'" + src +
                                   "/lib' -aux-info /dev/stdout - | grep 'qvctl\\.h:.* extern ' | "
                                   "sed 's/.*[ *]\\(qvctl_[a-z0-9_]*\\) (.*/\\1/'");
    ASSERT_GT(declared.size(), 40u);
    const auto exported = lines_of("nm -D --defined-only '" + build + "/lib/libqvctl.so' | awk '$3 != \"QVCTL_1\" {print $3}'");
    std::set<std::string> names;
    for (const std::string &e : exported) {
        EXPECT_NE(e.find("@@QVCTL_1"), std::string::npos) << e;
        names.insert(e.substr(0, e.find('@')));
    }
    EXPECT_EQ(names, declared);
}

// Built as strict C99 with every warning an error, which the header must stand up to on its own.
TEST(PublicApi, ManualExampleBuildsAgainstTheSharedLibraryAndRuns)
{
    const std::string exe = build + "/tests/libqvctl_example";
    const std::string sanitize = *QV_SANITIZE ? std::string(" -fsanitize=") + QV_SANITIZE : "";  // as the library is
    auto r = qvtest::sh("'" + src + "/scripts/man-example' '" + src + "/docs/libqvctl.3' | gcc" + sanitize +
                        " -x c -std=c99 -Wall -Wextra -pedantic -Werror -I'" + src + "/lib' - -o '" + exe + "' -L'" +
                        build + "/lib' -lqvctl");
    ASSERT_EQ(r.status, 0) << r.out;
    // Without a module to answer, the list fails and the program says why; either way it ends normally.
    auto run = qvtest::sh("LD_LIBRARY_PATH='" + build + "/lib' '" + exe + "'");
    std::remove(exe.c_str());
    EXPECT_TRUE(run.status == 0 || (run.status == 1 && !run.out.empty())) << run.status << ": " << run.out;
}

}  // namespace
