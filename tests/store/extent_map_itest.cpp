// SPDX-License-Identifier: GPL-2.0-or-later
// Extent maps of a file with a hole on a loop device: no method may hand on a map that leaves
// sectors of the file out, nor sector 0 for a block that has none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "../sim/fs_helpers.h"
#include "capability.h"
#include "loop_image.h"
#include "qvctl_internal.h"

namespace {

using map_ptr = std::unique_ptr<struct fiemap, decltype(&std::free)>;

TEST(ExtentMaps, AHoleIsRefusedByEachMethod)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.fs = "ext4"});
    ASSERT_TRUE(img.ok()) << img.error();
    const std::string holed = img.mount_point() + "/holed";
    ASSERT_TRUE(simtest::write_file(holed, std::string(1024, 'h'), 0));
    ASSERT_TRUE(simtest::write_file(holed, std::string(1024, 'h'), 15 * 1024));  // 14 KiB of hole between

    qvctl_status st{};
    EXPECT_EQ(file_map_fibmap(holed.c_str(), &st), nullptr);
    EXPECT_EQ(st.code, 29u);
    map_ptr map(file_map_fiemap(holed.c_str(), &st), &std::free);
    ASSERT_TRUE(map) << st.message;
    EXPECT_TRUE(file_map_verify(map.get(), holed.c_str(), &st));
    EXPECT_EQ(st.code, 22u);
}

}  // namespace
