// SPDX-License-Identifier: GPL-2.0-or-later
// Device operations up to the point where they would reach the module, and the module's device list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_module.h"

namespace {

// A path the request's field can't hold would reach the module cut, naming another device.
TEST(DeviceOps, OverLongPathsAreRefusedWithoutARequest)
{
    qvtest::fake_module m;
    const std::string longer(128, 'a');
    const char *p = longer.c_str();
    qvctl_status st{};
    char snap[4096] = "kept";
    for (uint32_t r : {qvctl_device_attach(p, &st), qvctl_snapshot_start(p, snap, 0, &st), qvctl_device_reset(p, &st),
                       uint32_t(qvctl_data_store_unmap(p, &st)), qvctl_device_restore("/dev/loop0", p, &st),
                       qvctl_snapshot_get(p, snap, &st)})
        EXPECT_EQ(r, 22u);
    EXPECT_STREQ(snap, "kept");
    EXPECT_TRUE(m.requests.empty());
}

TEST(DeviceOps, ListRecordsAreReadBackUnalignedAndBounded)
{
    constexpr std::size_t rec = qv::req::device_record::size;
    auto *list = static_cast<qvctl_device_list *>(std::calloc(1, 1 + 2 * rec));
    ASSERT_NE(list, nullptr);
    list->count = 2;
    std::memcpy(list->records + rec, "second", 7);
    const uint32_t state = DEVICE_FLAG_DATA_STORE_MAPPED;
    std::memcpy(list->records + rec + 512, &state, 4);
    qvctl_device d{};
    ASSERT_EQ(qvctl_device_list_record(list, 1, &d), 0u);
    EXPECT_STREQ(d.text[0], "second");
    EXPECT_EQ(d.state, DEVICE_FLAG_DATA_STORE_MAPPED);
    EXPECT_EQ(qvctl_device_list_record(list, 2, &d), 22u);
    qvctl_device_list_free(list);
}

}  // namespace
