// SPDX-License-Identifier: GPL-2.0-or-later
// Store pieces in whole filesystem blocks: data stores asked for with sizes that end anywhere inside
// a block are registered by FIBMAP and by marking, and the registered sectors of the whole disk hold
// the file. Files beside a store whose names merely begin with its name are never registered.
#include <gtest/gtest.h>

#include <string>

#include "capability.h"
#include "mounted_fs.h"
#include "qvsim.h"
#include "registered_store.h"

using namespace storetest;

namespace {

struct block_layout {
    const char *name, *mkfs;
    uint64_t block;
    bool fibmap;  // btrfs answers no FIBMAP
};

void PrintTo(const block_layout &l, std::ostream *os) { *os << l.name; }

// Registers the data store by each method in turn and proves it, then hands it back.
void register_by_each_method(const std::string &dev, const std::string &data, bool fibmap)
{
    for (uint32_t method : {MAP_METHOD_FIBMAP, MAP_METHOD_KERNEL}) {
        if (method == MAP_METHOD_FIBMAP && !fibmap)
            continue;
        SCOPED_TRACE(method == MAP_METHOD_FIBMAP ? "fibmap" : "marking");
        qvctl_status st{};
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), method, 0, &st), 0) << st.message;
        expect_registered_as_file(dev, STORE_DATA, data);
        ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
    }
}

class WholeBlockPieces : public ::testing::TestWithParam<block_layout> {};

TEST_P(WholeBlockPieces, SizesEndingInsideABlockAreMappedWhole)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    const block_layout l = GetParam();
    qvtest::qvsim sim;
    std::string dev = sim.disk("320M");
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, l.mkfs);
    ASSERT_TRUE(fs.ok()) << fs.error();
    ASSERT_EQ(attach(dev), 0u);
    const std::string data = fs.store("data");
    for (uint64_t past : {1, 511, 512, 4095}) {
        const uint64_t asked = 2 * 4096 + past;
        SCOPED_TRACE("size " + std::to_string(asked));
        qvctl_status st{};
        ASSERT_EQ(qvctl_data_store_create(dev.c_str(), asked, 0, &st), 0) << st.message;
        EXPECT_EQ(uint64_t(size_of(data)), (asked + l.block - 1) / l.block * l.block);
        EXPECT_EQ(qvctl_data_store_check(dev.c_str(), asked, 0, &st), 0) << st.message;
        fill_pattern(data, past);
        register_by_each_method(dev, data, l.fibmap);
        ASSERT_EQ(unlink(data.c_str()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, WholeBlockPieces,
                         ::testing::Values(block_layout{"ext4_4k", "mkfs.ext4 -q -F -b 4096", 4096, true},
                                           block_layout{"ext4_1k", "mkfs.ext4 -q -F -b 1024", 1024, true},
                                           block_layout{"xfs", "mkfs.xfs -q -f", 4096, true},
                                           block_layout{"btrfs", "mkfs.btrfs -q -f", 4096, false}),
                         [](const auto &p) { return std::string(p.param.name); });

// The default data store is 15 % of the partition, which ends inside a block; foreign files that
// begin with a store's name lie beside the stores, one of them far larger than the data store.
TEST(WholeBlockPieces, DefaultDataStoreOfAnXfsPartitionAndForeignFilesBeside)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("320M", 2048);
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, "mkfs.xfs -q -f");
    ASSERT_TRUE(fs.ok()) << fs.error();
    ASSERT_EQ(attach(dev), 0u);
    qvctl_status st{};
    ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 0, 0, &st), 0) << st.message;
    uint64_t rule = 0;
    ASSERT_EQ(data_store_size(dev.c_str(), &rule, 0, &st), 0);
    ASSERT_NE(rule % 4096, 0u) << "the partition's 15 % should end inside a block";
    EXPECT_EQ(uint64_t(size_of(fs.store("data"))), (rule + 4095) / 4096 * 4096);

    qvtest::sh_ok("cd " + fs.mount_point() + "/.quorvex && fallocate -l 10M data.bak && fallocate -l 64K data-old" +
                  " && fallocate -l 8K data-01 && fallocate -l 8K 'changelog~'");
    fill_pattern(fs.store("data"), 7);
    fill_pattern(fs.store("changelog"), 8);
    register_by_each_method(dev, fs.store("data"), true);
    ASSERT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), 0) << st.message;
    expect_registered_as_file(dev, STORE_CHANGELOG, fs.store("changelog"));
}

}  // namespace
