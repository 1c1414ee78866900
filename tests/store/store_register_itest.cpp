// SPDX-License-Identifier: GPL-2.0-or-later
// Registration end to end on stand-in disks: stores made on ext4, xfs and btrfs, mapped by each
// method, registered, read back from the stand-in, and the registered sectors of the whole disk
// compared byte for byte with the store files as the filesystem reads them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capability.h"
#include "mounted_fs.h"
#include "qvsim.h"
#include "registered_store.h"

using namespace storetest;

namespace {

struct layout {
    const char *fs;
    const char *mkfs;
};

class Registration : public ::testing::TestWithParam<layout> {};

TEST_P(Registration, EachMethodOnWholeDiskAndPartition)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    const layout l = GetParam();
    const bool btrfs = std::string(l.fs) == "btrfs";
    qvtest::qvsim sim;
    for (unsigned long part : {0ul, 2048ul}) {
        std::string dev = sim.disk("512M", part);
        ASSERT_FALSE(dev.empty());
        mounted_fs fs(dev, l.mkfs);
        ASSERT_TRUE(fs.ok()) << fs.error();
        SCOPED_TRACE(dev);
        ASSERT_EQ(attach(dev), 0u);
        qvctl_status st{};
        ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 8 << 20, 0, &st), 0) << st.message;
        fill_pattern(fs.store("changelog"), 1);
        fill_pattern(fs.store("data"), 2);

        // btrfs answers no FIBMAP; there the data store goes by the automatic order instead.
        uint32_t data_method = btrfs ? MAP_METHOD_AUTO : MAP_METHOD_FIBMAP;
        ASSERT_EQ(qvctl_changelog_store_register_ex(dev.c_str(), MAP_METHOD_FIEMAP, 0, &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), data_method, 0, &st), 0) << st.message;
        ASSERT_EQ(qvctl_metadata_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 4096, 0, &st), 0) << st.message;
        EXPECT_TRUE(all_zero(read_all(fs.store("metadata"))));

        expect_registered_as_file(dev, STORE_CHANGELOG, fs.store("changelog"));
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
        expect_registered_as_file(dev, STORE_METADATA, fs.store("metadata"));
        std::string dump = sim.dump();
        EXPECT_NE(dump.find("store data mapped param 2048 flags 0"), std::string::npos) << dump;

        EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), 17);
        EXPECT_EQ(std::string(st.message), "ERROR: changelog store is already mapped on device " + dev);

        // The data store taken back and registered again, this time by marking.
        ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
        EXPECT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 195);
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 1 << 20, &st), 0) << st.message;
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, Registration,
                         ::testing::Values(layout{"ext4", "mkfs.ext4 -q -F"}, layout{"xfs", "mkfs.xfs -q -f"},
                                           layout{"btrfs", "mkfs.btrfs -q -f"}),
                         [](const auto &p) { return std::string(p.param.fs); });

// What is checked or made before anything is mapped.
TEST(RegistrationPrerequisites, MissingStores)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, "mkfs.ext4 -q -F");
    ASSERT_TRUE(fs.ok()) << fs.error();
    ASSERT_EQ(attach(dev), 0u);
    qvctl_status st{};
    EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "WARNING: Failed to open file " + fs.store("changelog") +
                                           ": No such file or directory");
    EXPECT_EQ(qvctl_data_store_register(dev.c_str(), &st), 2);
    EXPECT_EQ(std::string(st.message), "ERROR: No store found on glob " + fs.store("data") + "* (glob errcode: 3)");

    // A damaged metadata store is made afresh as 4096 zero bytes before it is mapped.
    ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0);
    qvtest::sh_ok("echo damaged > " + fs.store("metadata"));
    int r = qvctl_metadata_store_register_opt(dev.c_str(), &st);
    EXPECT_TRUE(allocated(fs.store("metadata"), 4096));
    EXPECT_TRUE(all_zero(read_all(fs.store("metadata"))));
    ASSERT_EQ(r, 0) << st.message;
    std::string dump = sim.dump();
    EXPECT_NE(dump.find("store metadata mapped param 0 flags 8"), std::string::npos) << dump;
    EXPECT_NE(dump.find("flags 13"), std::string::npos) << dump;
}

}  // namespace
