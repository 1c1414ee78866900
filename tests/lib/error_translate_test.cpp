// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>

#include "qvctl.h"

namespace {

struct expected_row {
    int value;
    unsigned code;
    const char *message;
};

}  // namespace

TEST(ErrorTranslate, RowsWithAndWithoutADevice)
{
    // One row of each shape: the device named, a module code shifted into a byte, the fallback.
    const expected_row rows[] = {
        {1, 1, "ERROR: permission denied, you must be root"},
        {6, 6, "ERROR: device /dev/sdz is not suitable for snapshot"},
        {700, 188, "ERROR: version mismatch with kernel module"},
        {701, 189, "ERROR: /dev/sdz: a snapshot is in progress"},
        {705, 193, "ERROR: operation failed (error code: 705)"},
        {711, 199, "ERROR: datastore for device /dev/sdz has incorrect size"},
        {9999, 9999 & 255, "ERROR: operation failed (error code: 9999)"},
        {0, 0, "ERROR: operation failed (error code: 0)"},
    };
    for (const auto &row : rows) {
        qvctl_status st{};
        EXPECT_EQ(qvctl_error_translate(&st, row.value, "/dev/sdz"), row.code) << row.value;
        EXPECT_EQ(st.code, row.code) << row.value;
        EXPECT_STREQ(st.message, row.message) << row.value;
    }
    // Without a device, busy is the module's, and no "(null)" stands in for the name.
    qvctl_status st{};
    EXPECT_EQ(qvctl_error_translate(&st, 16, nullptr), 16u);
    EXPECT_STREQ(st.message, "ERROR: kernel module is busy, please try again later");
    EXPECT_EQ(qvctl_error_translate(&st, 19, nullptr), 19u);
    EXPECT_EQ(std::string(st.message).find("(null)"), std::string::npos) << st.message;
}
