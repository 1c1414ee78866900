// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

class MountTable : public ::testing::Test {
protected:
    qvtest::temp_dir tmp;
    struct mntent entry {};
    char line[4096];

    // A table naming the fixture's own files as devices, so that resolution is exercised too.
    std::string table(const std::string &text) { return tmp.write("mounts", text); }
    std::string device(const std::string &name) { return tmp.write(name, ""); }
    const char *find(const std::string &dev, const std::string &tab)
    {
        struct mntent *m = mount_entry_find(dev.c_str(), tab.c_str(), &entry, line, sizeof line);
        return m ? m->mnt_dir : nullptr;
    }
};

// The first of several entries wins; links on either side and extra path components resolve to
// the same device; names that are no path match only literally; a missing table has no entry.
TEST_F(MountTable, FirstEntryOfTheResolvedDeviceWins)
{
    std::string dev = device("disk1");
    std::string other = device("disk2");
    std::string link = tmp.file("by-uuid");
    ASSERT_EQ(::symlink(dev.c_str(), link.c_str()), 0);
    std::string tab = table("proc /proc proc rw 0 0\ntmpfs /run tmpfs rw 0 0\n" + other + " /other ext4 rw 0 0\n" +
                            link + " /first xfs ro,relatime 0 0\n" + dev + " /second xfs rw 0 0\n");
    EXPECT_STREQ(find(dev, tab), "/first");
    EXPECT_STREQ(find(link, tab), "/first");
    EXPECT_STREQ(find(tmp.path() + "/./disk1", tab), "/first");
    EXPECT_STREQ(find(other, tab), "/other");
    EXPECT_STREQ(find("tmpfs", tab), "/run");
    EXPECT_EQ(find(device("disk3"), tab), nullptr);
    EXPECT_EQ(find(dev, tmp.file("absent")), nullptr);
}

TEST_F(MountTable, LaterTableIsAskedOnlyWhenEarlierOneLacksTheDeviceAndRwStandsAlone)
{
    std::string dev = device("disk1");
    std::string primary = tmp.write("primary", dev + " /from-primary ext4 ro 0 0\n");
    std::string fallback = tmp.write("fallback", dev + " /from-fallback ext4 rw 0 0\n");
    std::string empty = tmp.write("empty", "");
    std::string missing = tmp.file("missing");
    char out[4096] = "untouched";

    const char *both[] = {primary.c_str(), fallback.c_str()};
    ASSERT_EQ(qv::mount_point_from(dev.c_str(), both, out, sizeof out), 0);
    EXPECT_STREQ(out, "/from-primary");
    EXPECT_EQ(qv::mount_is_rw_from(dev.c_str(), both), 0);

    for (const std::string &first : {empty, missing}) {
        const char *tables[] = {first.c_str(), fallback.c_str()};
        ASSERT_EQ(qv::mount_point_from(dev.c_str(), tables, out, sizeof out), 0);
        EXPECT_STREQ(out, "/from-fallback");
        EXPECT_EQ(qv::mount_is_rw_from(dev.c_str(), tables), 1);
    }

    std::strcpy(out, "untouched");
    const char *neither[] = {empty.c_str(), missing.c_str()};
    EXPECT_EQ(qv::mount_point_from(dev.c_str(), neither, out, sizeof out), -2);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(qv::mount_is_rw_from(dev.c_str(), neither), 0);

    // Read-write is an option of its own, wherever it stands.
    for (auto [options, rw] : {std::pair{"relatime,rw", 1}, {"rwx,relatime", 0}, {"defaults", 0}}) {
        std::string tab = table(dev + " /m ext4 " + options + " 0 0\n");
        const char *tables[] = {tab.c_str()};
        EXPECT_EQ(qv::mount_is_rw_from(dev.c_str(), tables), rw) << options;
    }
}

}  // namespace
