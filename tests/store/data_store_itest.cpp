// SPDX-License-Identifier: GPL-2.0-or-later
// The data store's creation on a stand-in disk: the size rules and the refusal
// to make it again while the module holds one, whose sectors it would change under it.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "../sim/sim_helpers.h"
#include "capability.h"
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
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 0, 0, &st), 0) << st.message;
    const uint64_t share = static_cast<uint64_t>(256.0 * 1048576 * 0.15);
    const uint64_t block = store_block_size(path.c_str());
    EXPECT_TRUE(allocated(path, (share + block - 1) / block * block)) << "laid down in whole blocks";
    EXPECT_EQ(qvctl_data_store_check(dev.c_str(), 0, 0, &st), 0) << st.message;
    EXPECT_EQ(qvctl_data_store_check(dev.c_str(), 0, 10, &st), 199);

    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 8 << 20, 150, &st), 0) << st.message;  // the size wins
    EXPECT_TRUE(allocated(path, 8 << 20));

    ASSERT_EQ(simtest::attach(dev).code, 0u);
    ASSERT_EQ(simtest::map_extents(dev, STORE_DATA, 5, 1, 4096).code, 0u);
    EXPECT_EQ(qvctl_data_store_create(dev.c_str(), 4 << 20, 0, &st), 192);
    EXPECT_TRUE(allocated(path, 8 << 20));
    ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
    EXPECT_EQ(qvctl_data_store_create(dev.c_str(), 4 << 20, 0, &st), 0) << st.message;
}

}  // namespace
