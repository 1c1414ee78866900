// SPDX-License-Identifier: GPL-2.0-or-later
// The library as an outside program sees it: what the shared object exports, whether the header
// stands alone in strict C and C++, and whether the manual's example builds and runs against it.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "shell.h"

namespace {

const std::string library = std::string(QV_BUILD_DIR) + "/lib/libqvctl.so";

// The operations the header declares, as the compiler reads it: inline accessors are the header's
// own definitions and not exported.
std::set<std::string> declared_operations()
{
    std::istringstream names(qvtest::sh_ok(
        "printf '#include <qvctl.h>\\n' | gcc -x c -std=c99 -fsyntax-only -I'" + std::string(QV_SOURCE_DIR) +
        "/lib' -aux-info /dev/stdout - | grep 'qvctl\\.h:.* extern ' | sed 's/.*[ *]\\(qvctl_[a-z0-9_]*\\) (.*/\\1/'"));
    std::set<std::string> declared;
    for (std::string name; std::getline(names, name);)
        declared.insert(name);
    return declared;
}

}  // namespace

TEST(PublicApi, SharedLibraryExportsExactlyTheHeadersOperationsUnderOneVersion)
{
    const std::set<std::string> declared = declared_operations();
    ASSERT_GT(declared.size(), 40u);
    std::istringstream nm(qvtest::sh_ok("nm -D --defined-only '" + library + "'"));
    std::set<std::string> exported, unversioned;
    for (std::string line; std::getline(nm, line);) {
        std::string name = line.substr(line.rfind(' ') + 1);
        if (name == "QVCTL_1")
            continue;  // the version node itself
        std::size_t at = name.find("@@QVCTL_1");
        if (at == std::string::npos)
            unversioned.insert(name);
        exported.insert(name.substr(0, at));
    }
    EXPECT_EQ(exported, declared);
    EXPECT_TRUE(unversioned.empty()) << *unversioned.begin();
}

TEST(PublicApi, HeaderIsCleanAsStrictC99AndCxx17)
{
    const std::string dir = std::string(QV_SOURCE_DIR) + "/lib";
    const std::string flags = " -Wall -Wextra -pedantic -Werror -fsyntax-only -I'" + dir + "' ";
    for (const char *compiler : {"gcc -x c -std=c99", "g++ -x c++ -std=c++17"}) {
        auto r = qvtest::sh("printf '#include <qvctl.h>\\nint main(void) { return 0; }\\n' | " + std::string(compiler) +
                            flags + "-");
        EXPECT_EQ(r.status, 0) << compiler << ": " << r.out;
    }
}

TEST(PublicApi, ManualExampleBuildsAgainstTheSharedLibraryAndRuns)
{
    const std::string src = QV_SOURCE_DIR, build = QV_BUILD_DIR;
    const std::string exe = build + "/tests/libqvctl_example";
    const std::string sanitize = *QV_SANITIZE ? std::string(" -fsanitize=") + QV_SANITIZE : "";  // as the library is
    // The example as the page shows it: between .EX and .EE, with roff's escapes undone.
    auto r = qvtest::sh("sed -n '/^\\.EX$/,/^\\.EE$/{/^\\.E[XE]$/d;s/\\\\e/\\\\/g;s/\\\\-/-/g;p}' '" + src +
                        "/docs/libqvctl.3' | gcc" + sanitize + " -x c -std=c99 -Wall -Wextra -pedantic -Werror -I'" +
                        src + "/lib' - -o '" + exe + "' -L'" + build + "/lib' -lqvctl");
    ASSERT_EQ(r.status, 0) << r.out;
    // Without a module to answer, the list fails and the program says why; either way it ends normally.
    auto run = qvtest::sh("LD_LIBRARY_PATH='" + build + "/lib' '" + exe + "'");
    std::remove(exe.c_str());
    EXPECT_TRUE(run.status == 0 || (run.status == 1 && !run.out.empty())) << run.status << ": " << run.out;
}
