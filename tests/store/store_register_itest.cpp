// SPDX-License-Identifier: GPL-2.0-or-later
// Stores end to end on stand-in disks: made on ext2 (1 KiB blocks, zeros written), xfs and btrfs,
// on a whole disk and in a partition, in sizes that end inside a block; mapped by each method,
// registered, read back from the stand-in, and the registered sectors of the whole disk compared
// byte for byte with the store files as the filesystem reads them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "../sim/sim_helpers.h"
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

int inode_flags(const std::string &path)
{
    qv::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = 0;
    return fd && ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

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
        ASSERT_EQ(simtest::attach(dev).code, 0u);
        qvctl_status st{};
        // The changelog is checked before anything is mapped.
        EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), ENOENT);

        ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
        EXPECT_TRUE(all_zero(read_all(fs.store("changelog"))));
        // Only btrfs gets the no-copy-on-write flag, on the directory and so on the store.
        EXPECT_EQ(bool(inode_flags(fs.store("changelog")) & FS_NOCOW_FL), btrfs);
        const uint64_t asked = (8 << 20) + 511, block = store_block_size(fs.store("data").c_str());
        ASSERT_EQ(qvctl_data_store_create(dev.c_str(), asked, 0, &st), 0) << st.message;
        EXPECT_EQ(uint64_t(size_of(fs.store("data"))), (asked + block - 1) / block * block);
        EXPECT_EQ(qvctl_data_store_check(dev.c_str(), asked, 0, &st), 0) << st.message;
        fill_pattern(fs.store("changelog"), 1);
        fill_pattern(fs.store("data"), 2);
        qvtest::sh_ok("echo damaged > " + fs.store("metadata"));

        // btrfs answers no FIBMAP; there the data store goes by the automatic order instead.
        const uint32_t data_method = btrfs ? MAP_METHOD_AUTO : MAP_METHOD_FIBMAP;
        ASSERT_EQ(qvctl_changelog_store_register_ex(dev.c_str(), MAP_METHOD_FIEMAP, 0, &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), data_method, 0, &st), 0) << st.message;
        // A damaged metadata store is made afresh as zeros before it is mapped.
        ASSERT_EQ(qvctl_metadata_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 4096, MAP_FLAG_METADATA_OPT, &st), 0)
            << st.message;
        EXPECT_TRUE(allocated(fs.store("metadata"), 4096));
        EXPECT_TRUE(all_zero(read_all(fs.store("metadata"))));

        expect_registered_as_file(dev, STORE_CHANGELOG, fs.store("changelog"));
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
        expect_registered_as_file(dev, STORE_METADATA, fs.store("metadata"));
        const std::string dump = sim.dump();
        EXPECT_NE(dump.find("store data mapped param 2048 flags 0"), std::string::npos) << dump;
        EXPECT_NE(dump.find("store metadata mapped param 0 flags 8"), std::string::npos) << dump;
        EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), EEXIST);

        // The data store taken back and registered again, this time by marking.
        ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 1 << 20, &st), 0) << st.message;
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, Registration,
                         ::testing::Values(layout{"ext2", "mkfs.ext2 -q -F -b 1024"}, layout{"xfs", "mkfs.xfs -q -f"},
                                           layout{"btrfs", "mkfs.btrfs -q -f"}),
                         [](const auto &p) { return std::string(p.param.fs); });

}  // namespace
