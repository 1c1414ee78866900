// SPDX-License-Identifier: GPL-2.0-or-later
// Mount tables naming the test's own files as devices, so that resolution is exercised too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

// The first of several entries wins; links on either side and extra path components resolve to
// the same device; names that are no path match only literally; a missing table has no entry.
TEST(MountTable, FirstEntryOfTheResolvedDeviceWins)
{
    qvtest::temp_dir tmp;
    std::string dev = tmp.write("disk1", ""), other = tmp.write("disk2", ""), link = tmp.file("by-uuid");
    ASSERT_EQ(::symlink(dev.c_str(), link.c_str()), 0);
    std::string tab = tmp.write("mounts", "proc /proc proc rw 0 0\ntmpfs /run tmpfs rw 0 0\n" + other +
                                              " /other ext4 rw 0 0\n" + link + " /first xfs ro,relatime 0 0\n" + dev +
                                              " /second xfs rw 0 0\n");
    struct mntent entry {};
    char line[4096];
    auto find = [&](const std::string &d, const std::string &t) -> std::string {
        struct mntent *m = mount_entry_find(d.c_str(), t.c_str(), &entry, line, sizeof line);
        return m ? m->mnt_dir : "(none)";
    };
    for (auto [device, dir] : {std::pair{dev, "/first"}, {link, "/first"}, {tmp.path() + "/./disk1", "/first"},
                               {other, "/other"}, {std::string("tmpfs"), "/run"}, {tmp.write("disk3", ""), "(none)"}})
        EXPECT_EQ(find(device, tab), dir) << device;
    EXPECT_EQ(find(dev, tmp.file("absent")), "(none)");
}

// A later table is asked only when an earlier one lacks the device; read-write is an option of its
// own, wherever it stands.
TEST(MountTable, LaterTablesAndTheReadWriteOption)
{
    qvtest::temp_dir tmp;
    std::string dev = tmp.write("disk1", "");
    std::string primary = tmp.write("primary", dev + " /from-primary ext4 ro 0 0\n");
    std::string fallback = tmp.write("fallback", dev + " /from-fallback ext4 rw 0 0\n");
    std::string empty = tmp.write("empty", ""), missing = tmp.file("missing");
    struct case_ {
        std::string first, second;
        int found;
        const char *dir;
        int rw;
    };
    for (const case_ &c : {case_{primary, fallback, 0, "/from-primary", 0}, case_{empty, fallback, 0, "/from-fallback", 1},
                           case_{missing, fallback, 0, "/from-fallback", 1}, case_{empty, missing, -2, "untouched", 0}}) {
        const char *tables[] = {c.first.c_str(), c.second.c_str()};
        char out[4096] = "untouched";
        EXPECT_EQ(qv::mount_point_from(dev.c_str(), tables, out, sizeof out), c.found) << c.first;
        EXPECT_STREQ(out, c.dir) << c.first;
        EXPECT_EQ(qv::mount_is_rw_from(dev.c_str(), tables), c.rw) << c.first;
    }
    for (auto [options, rw] : {std::pair{"relatime,rw", 1}, {"rwx,relatime", 0}, {"defaults", 0}}) {
        std::string tab = tmp.write("mounts", dev + " /m ext4 " + options + " 0 0\n");
        const char *tables[] = {tab.c_str()};
        EXPECT_EQ(qv::mount_is_rw_from(dev.c_str(), tables), rw) << options;
    }
}

}  // namespace
