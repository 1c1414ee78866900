// SPDX-License-Identifier: GPL-2.0-or-later
// Mount tables naming the test's own files as devices, so that resolution is exercised too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

// The first of several entries wins; links on either side and extra path components resolve to
// the same device; names that are no path match only literally; a missing table is skipped and a
// later one asked only when earlier ones lack the device. Read-write is an option of its own.
TEST(MountTable, FirstEntryOfTheResolvedDeviceWinsAndTellsReadWrite)
{
    qvtest::temp_dir tmp;
    std::string dev = tmp.write("disk1", ""), other = tmp.write("disk2", ""), late = tmp.write("disk4", ""),
                link = tmp.file("by-uuid");
    ASSERT_EQ(::symlink(dev.c_str(), link.c_str()), 0);
    std::string tab = tmp.write("mounts", "proc /proc proc rw 0 0\ntmpfs /run tmpfs rwx,relatime 0 0\n" + other +
                                              " /other ext4 relatime,rw 0 0\n" + link + " /first xfs ro,relatime 0 0\n" +
                                              dev + " /second xfs rw 0 0\n");
    std::string fallback = tmp.write("fallback", late + " /late ext4 rw 0 0\n" + dev + " /never ext4 rw 0 0\n");
    std::string absent = tmp.file("absent");
    const char *tables[] = {absent.c_str(), tab.c_str(), fallback.c_str()};
    for (auto [device, dir, rw] : {std::tuple{dev, "/first", 0}, {link, "/first", 0}, {tmp.path() + "/./disk1", "/first", 0},
                                   {other, "/other", 1}, {std::string("tmpfs"), "/run", 0}, {late, "/late", 1},
                                   {tmp.write("disk3", ""), "untouched", 0}}) {
        char out[4096] = "untouched";
        EXPECT_EQ(qv::mount_point_from(device.c_str(), tables, out, sizeof out), std::string(dir) == "untouched" ? -2 : 0)
            << device;
        EXPECT_STREQ(out, dir) << device;
        EXPECT_EQ(qv::mount_is_rw_from(device.c_str(), tables), rw) << device;
    }
}

}  // namespace
