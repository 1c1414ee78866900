// SPDX-License-Identifier: GPL-2.0-or-later
// Device and snapshot operations up to the point where they would reach the module.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qvctl_internal.h"
#include "request_layout.h"
#include "temp_dir.h"

namespace {

const std::string too_long(200, 'a');

TEST(DeviceOps, OverLongPathsAreRefusedByEveryOperation)
{
    qvctl_status st{};
    const char *p = too_long.c_str();
    char snap[4096] = "kept";
    EXPECT_EQ(qvctl_device_attach(p, &st), 22u);
    EXPECT_EQ(qvctl_device_detach(p, &st), 22u);
    EXPECT_EQ(qvctl_device_info_get(p, &st), nullptr);
    EXPECT_EQ(qvctl_snapshot_start(p, snap, 0, &st), 22u);
    EXPECT_STREQ(snap, "kept");
    EXPECT_EQ(qvctl_snapshot_complete(p, &st), 22u);
    EXPECT_EQ(qvctl_snapshot_cancel(p, &st), 22u);
    EXPECT_EQ(qvctl_kernel_dump(p, &st), 22u);
    EXPECT_EQ(qvctl_device_reset(p, &st), 22u);
    EXPECT_EQ(qvctl_data_store_unmap(p, &st), 22);
    EXPECT_EQ(qvctl_device_restore("/dev/loop0", p, &st), 22u);
    EXPECT_EQ(qvctl_device_restore(p, "/dev/loop0", &st), 22u);
    EXPECT_EQ(qvctl_snapshot_get(p, snap, &st), 22u);
    EXPECT_STREQ(st.message, "ERROR: Module interface doesn't accept path longer than 127 symbols");
    EXPECT_STREQ(snap, "kept");
    EXPECT_EQ(qvctl_snapshot_get("/dev/sda", nullptr, &st), 22u);
    EXPECT_STREQ(st.message, "ERROR: snap parameter in qvctl_snapshot_get() should not be NULL");
}

TEST(DeviceOps, AttachRefusesAnUnknownFilesystemWithoutARequest)
{
    qvtest::temp_dir dir;
    std::string plain = dir.write("plain", std::string(8192, 'x'));
    qvctl_status st{};
    EXPECT_EQ(qvctl_device_attach(plain.c_str(), &st), 22u);
    EXPECT_EQ(std::string(st.message), "ERROR: Unsupported filesystem on device " + plain);
    EXPECT_EQ(qvctl_device_attach(plain.c_str(), nullptr), 22u);
}

TEST(DeviceOps, ListRecordsAreReadBackUnalignedAndBounded)
{
    constexpr std::size_t rec = qv::req::device_record::size;
    auto *list = static_cast<qvctl_device_list *>(std::calloc(1, 1 + 2 * rec));
    ASSERT_NE(list, nullptr);
    list->count = 2;
    std::memcpy(list->records + rec, "second", 7);
    std::memcpy(list->records + rec + 3 * 128, "fourth", 7);
    uint32_t state = DEVICE_FLAG_DATA_STORE_MAPPED;
    std::memcpy(list->records + rec + 512, &state, 4);
    qvctl_device d{};
    ASSERT_EQ(qvctl_device_list_record(list, 1, &d), 0u);
    EXPECT_STREQ(d.text[0], "second");
    EXPECT_STREQ(d.text[3], "fourth");
    EXPECT_EQ(d.state, DEVICE_FLAG_DATA_STORE_MAPPED);
    EXPECT_EQ(qvctl_device_list_record(list, 2, &d), 22u);
    EXPECT_EQ(qvctl_device_list_record(nullptr, 0, &d), 22u);
    qvctl_device_list_free(list);
    qvctl_device_list_free(nullptr);
    qvctl_device_info_free(nullptr);

    // The copy is bounded per text.
    unsigned char src[qv::req::device_record::size];
    std::memset(src, 'z', sizeof src);
    d = {};
    device_record_copy(&d, src);
    EXPECT_EQ(d.text[1][127], 'z');
    EXPECT_EQ(d.state, 0x7a7a7a7au);
}

}  // namespace
