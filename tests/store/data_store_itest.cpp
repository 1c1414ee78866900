// SPDX-License-Identifier: GPL-2.0-or-later
// The stores' creation on a stand-in disk: the changelog refused for a device too small or too large
// for its filesystem; the data store made beside a device the module does not know, the size rules,
// the space check and the refusal when the module already holds a data store.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "../sim/sim_helpers.h"
#include "capability.h"
#include "fake_device_size.h"
#include "mounted_fs.h"
#include "qvctl_internal.h"
#include "qvsim.h"
#include "store_test_util.h"

using namespace storetest;

namespace {

TEST(DataStore, CreatedCheckedAndRefusedOnceMapped)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("256M");
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, "mkfs.ext4 -q -F");
    ASSERT_TRUE(fs.ok()) << fs.error();
    const std::string path = fs.store("data");

    qvctl_status st{};
    for (auto [sectors, code, message] :
         {std::tuple{2047ull, 34, std::string("Invalid changelog store size (0)")},
          {1ull << 30, 28, "Not enough space on device " + dev + " (1073741824 bytes needed)"}}) {
        qvtest::fake_device_size size(dev, sectors);
        EXPECT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), code);
        EXPECT_EQ(std::string(st.message), message);
    }
    EXPECT_FALSE(exists(fs.store("changelog")));

    // Not attached: the store is made anyway. A fresh piece leaves its failed verification (193) in
    // the record; over an allocated piece the device record's 19 is what stays.
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 0, 0, &st), 0) << st.message;
    EXPECT_EQ(st.code, 193u);
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 0, 0, &st), 0) << st.message;
    EXPECT_EQ(st.code, 19u);
    const uint64_t share = static_cast<uint64_t>(256.0 * 1048576 * 0.15);
    const uint64_t block = store_block_size(path.c_str());  // 1 KiB: mkfs's choice for a small ext4
    EXPECT_TRUE(allocated(path, (share + block - 1) / block * block)) << "laid down in whole blocks";
    EXPECT_EQ(qvctl_data_store_check(dev.c_str(), 0, 0, &st), 0) << st.message;
    EXPECT_EQ(qvctl_data_store_check(dev.c_str(), 0, 10, &st), 199);
    EXPECT_EQ(qvctl_data_store_check(dev.c_str(), 0, 100, &st), 34);
    EXPECT_EQ(std::string(st.message), "invalid data store size for device " + dev);

    // An explicit size wins over any share; the free-space check ignores the old store's blocks.
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 8 << 20, 150, &st), 0) << st.message;
    EXPECT_TRUE(allocated(path, 8 << 20));
    EXPECT_EQ(qvctl_data_store_create(dev.c_str(), 0, 100, &st), 34);
    uint64_t free_bytes = 0;
    ASSERT_EQ(fs_free_bytes(fs.mount_point().c_str(), &free_bytes, nullptr), 0);
    EXPECT_EQ(qvctl_data_store_create(dev.c_str(), free_bytes + 4096, 0, &st), 28);
    EXPECT_EQ(std::string(st.message),
              "not enough space on device " + dev + " (" + std::to_string(free_bytes + 4096) + " bytes needed)");
    EXPECT_TRUE(allocated(path, 8 << 20));

    ASSERT_EQ(simtest::attach(dev).code, 0u);
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 8 << 20, 0, &st), 0) << st.message;
    EXPECT_EQ(st.code, 0u);
    ASSERT_EQ(simtest::map_extents(dev, STORE_DATA, 5, 1, 4096).code, 0u);
    EXPECT_EQ(qvctl_data_store_create(dev.c_str(), 4 << 20, 0, &st), 192);
    EXPECT_EQ(std::string(st.message), "ERROR: device " + dev + " has already mapped data store");

    // Read back: more extents than a 528-byte answer holds, so the block is grown and asked again.
    ASSERT_EQ(simtest::map_extents(dev, STORE_CHANGELOG, 1, 246, 8192).code, 0u);
    ASSERT_EQ(simtest::map_extents(dev, STORE_CHANGELOG, 6, 54, 8192 + 16 * 246).code, 0u);
    store_extent_list *list = qvctl_changelog_store_extents_get(dev.c_str(), &st);
    ASSERT_NE(list, nullptr) << st.message;
    ASSERT_EQ(list->count, 300u);
    for (uint64_t i = 0; i < 300; ++i)
        EXPECT_EQ(list->extents[i].start, 8192 + 16 * i);
    qvctl_store_extents_free(list);

    ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
    EXPECT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 195);
    EXPECT_EQ(qvctl_data_store_create(dev.c_str(), 4 << 20, 0, &st), 0) << st.message;
}

}  // namespace
