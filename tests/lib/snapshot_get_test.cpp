#include <gtest/gtest.h>

#include <string>

#include "qvctl.h"

TEST(SnapshotGet, NullOutputIsRefusedBeforeAnyRequest)
{
    qvctl_status st{};
    EXPECT_EQ(qvctl_snapshot_get("/dev/sda", nullptr, &st), 22u);
    EXPECT_STREQ(st.message, "ERROR: snap parameter in qvctl_snapshot_get() should not be NULL");
}

TEST(SnapshotGet, OverLongPathIsRefusedAndOutputKept)
{
    qvctl_status st{};
    char snap[4096] = "unchanged";
    const std::string path = "/dev/" + std::string(123, 'x');  // 128 characters
    EXPECT_EQ(qvctl_snapshot_get(path.c_str(), snap, &st), 22u);
    EXPECT_STREQ(st.message, "ERROR: Module interface doesn't accept path longer than 127 symbols");
    EXPECT_STREQ(snap, "unchanged");
}
