// SPDX-License-Identifier: GPL-2.0-or-later
// Device and snapshot operations up to the point where they would reach the module.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_module.h"
#include "temp_dir.h"

namespace {

TEST(DeviceOps, OverLongPathsAndUnknownFilesystemsAreRefusedWithoutARequest)
{
    qvtest::fake_module m;
    const std::string longer(200, 'a');
    const char *p = longer.c_str();
    qvctl_status st{};
    char snap[4096] = "kept";
    for (uint32_t r : {qvctl_device_attach(p, &st), qvctl_device_detach(p, &st), qvctl_snapshot_start(p, snap, 0, &st),
                       qvctl_snapshot_complete(p, &st), qvctl_snapshot_cancel(p, &st), qvctl_kernel_dump(p, &st),
                       qvctl_device_reset(p, &st), uint32_t(qvctl_data_store_unmap(p, &st)),
                       qvctl_device_restore("/dev/loop0", p, &st), qvctl_device_restore(p, "/dev/loop0", &st),
                       qvctl_snapshot_get(p, snap, &st), qvctl_device_info_get(p, &st) ? 0u : 22u})
        EXPECT_EQ(r, 22u);
    EXPECT_STREQ(st.message, "ERROR: Module interface doesn't accept path longer than 127 symbols");
    EXPECT_STREQ(snap, "kept");
    EXPECT_EQ(qvctl_snapshot_get("/dev/sda", nullptr, &st), 22u);
    EXPECT_STREQ(st.message, "ERROR: snap parameter in qvctl_snapshot_get() should not be NULL");

    qvtest::temp_dir dir;
    const std::string plain = dir.write("plain", std::string(8192, 'x'));
    EXPECT_EQ(qvctl_device_attach(plain.c_str(), &st), 22u);
    EXPECT_EQ(std::string(st.message), "ERROR: Unsupported filesystem on device " + plain);
    EXPECT_TRUE(m.requests.empty());
}

TEST(DeviceOps, ListRecordsAreReadBackUnalignedAndBounded)
{
    constexpr std::size_t rec = qv::req::device_record::size;
    auto *list = static_cast<qvctl_device_list *>(std::calloc(1, 1 + 2 * rec));
    ASSERT_NE(list, nullptr);
    list->count = 2;
    std::memcpy(list->records + rec, "second", 7);
    std::memcpy(list->records + rec + 3 * 128, "fourth", 7);
    const uint32_t state = DEVICE_FLAG_DATA_STORE_MAPPED;
    std::memcpy(list->records + rec + 512, &state, 4);
    qvctl_device d{};
    ASSERT_EQ(qvctl_device_list_record(list, 1, &d), 0u);
    EXPECT_STREQ(d.text[0], "second");
    EXPECT_STREQ(d.text[3], "fourth");
    EXPECT_EQ(d.state, DEVICE_FLAG_DATA_STORE_MAPPED);
    EXPECT_EQ(qvctl_device_list_record(list, 2, &d), 22u);
    EXPECT_EQ(qvctl_device_list_record(nullptr, 0, &d), 22u);
    qvctl_device_list_free(list);
}

}  // namespace
