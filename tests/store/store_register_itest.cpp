// SPDX-License-Identifier: GPL-2.0-or-later
// Stores end to end on stand-in disks: made on ext2 (1 KiB blocks, zeros written), xfs and btrfs,
// on a whole disk and in a partition, in sizes that end inside a block; mapped by each method,
// registered, read back from the stand-in, and the registered sectors of the whole disk compared
// byte for byte with the store files as the filesystem reads them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

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
        ASSERT_EQ(attach(dev), 0u);
        qvctl_status st{};
        // The changelog is checked before anything is mapped.
        EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), ENOENT);
        EXPECT_EQ(std::string(st.message),
                  "WARNING: Failed to open file " + fs.store("changelog") + ": No such file or directory");

        ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
        EXPECT_TRUE(all_zero(read_all(fs.store("changelog"))));
        struct stat sb;
        ASSERT_EQ(stat((fs.mount_point() + "/.quorvex").c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 0777, 0755u);
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
        EXPECT_EQ(std::string(st.message), "ERROR: changelog store is already mapped on device " + dev);

        // The data store taken back and registered again, this time by marking.
        ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
        EXPECT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 195);
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 1 << 20, &st), 0) << st.message;
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));

        // The changelog zeroed again in place; one of the wrong size fails its check.
        ASSERT_EQ(qvctl_changelog_store_reset(dev.c_str(), &st), 0) << st.message;
        EXPECT_TRUE(all_zero(read_all(fs.store("changelog"))));
        ASSERT_EQ(truncate(fs.store("changelog").c_str(), 4096), 0);
        EXPECT_EQ(qvctl_changelog_store_check(dev.c_str(), &st), 199);
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, Registration,
                         ::testing::Values(layout{"ext2", "mkfs.ext2 -q -F -b 1024"}, layout{"xfs", "mkfs.xfs -q -f"},
                                           layout{"btrfs", "mkfs.btrfs -q -f"}),
                         [](const auto &p) { return std::string(p.param.fs); });

// With data kept twice on one disk, the stripe after a chunk's first one is that chunk's second copy:
// a store extent that runs on into the next chunk must be registered with the next chunk's sectors.
TEST(Registration, BtrfsExtentRunningIntoTheNextChunk)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("1536M", 0);
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, "mkfs.btrfs -q -f -d dup -m dup");
    ASSERT_TRUE(fs.ok()) << fs.error();
    ASSERT_EQ(attach(dev), 0u);
    qvctl_status st{};
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 8 << 20, 0, &st), 0) << st.message;
    // Made again 32 MiB at a time, each slice synced: the allocator then fills chunk after chunk, and
    // the filesystem reports runs that span them.
    {
        qv::unique_fd fd(open(fs.store("data").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        ASSERT_TRUE(fd);
        std::vector<uint64_t> slice((32 << 20) / 8);
        for (uint64_t pos = 0; pos < (416 << 20); pos += slice.size() * 8) {
            for (std::size_t i = 0; i < slice.size(); ++i)
                slice[i] = (uint64_t{2} << 56) | (pos + 8 * i);
            ASSERT_EQ(pwrite(fd.get(), slice.data(), slice.size() * 8, off_t(pos)), ssize_t(slice.size() * 8));
            ASSERT_EQ(fsync(fd.get()), 0);
        }
    }
    // The layout must hold such an extent for the test to mean anything.
    store_map_job job{};
    job.device = dev.c_str();
    std::snprintf(job.path, sizeof job.path, "%s", fs.store("data").c_str());
    job.method = MAP_METHOD_FIEMAP;
    qv::heap_ptr<struct fiemap> logical(file_map_fiemap(job.path, &st)), pieces(file_map_get(&job, &st));
    ASSERT_TRUE(logical && pieces) << st.message;
    ASSERT_GT(pieces->fm_mapped_extents, logical->fm_mapped_extents) << "no extent crosses a chunk's end";
    ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), MAP_METHOD_FIEMAP, 0, &st), 0) << st.message;
    expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
}

}  // namespace
