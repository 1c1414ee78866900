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

TEST(ErrorTranslate, EveryRowWithAndWithoutADevice)
{
    const expected_row rows[] = {
        {1, 1, "ERROR: permission denied, you must be root"},
        {6, 6, "ERROR: device /dev/sdz is not suitable for snapshot"},
        {7, 7, "ERROR: multiply request is not supported"},
        {12, 12, "ERROR: failed to allocate memory"},
        {16, 16, "ERROR: device /dev/sdz is busy, please try again later"},
        {17, 17, "ERROR: device /dev/sdz already exists"},
        {19, 19, "ERROR: device /dev/sdz not found. Possible it is not attached"},
        {700, 188, "ERROR: version mismatch with kernel module"},
        {701, 189, "ERROR: /dev/sdz: a snapshot is in progress"},
        {702, 190, "ERROR: /dev/sdz: no snapshot found"},
        {703, 191, "ERROR: operation denied, device /dev/sdz is dirty"},
        {704, 192, "ERROR: device /dev/sdz has already mapped data store"},
        {705, 193, "ERROR: operation failed (error code: 705)"},
        {706, 194, "ERROR: device /dev/sdz has no mapped changelog store"},
        {707, 195, "ERROR: device /dev/sdz has no mapped data store"},
        {708, 196, "ERROR: full changelog store is detected on device /dev/sdz"},
        {709, 197, "ERROR: device /dev/sdz has no mapped metadata store"},
        {710, 198, "ERROR: operation failed (error code: 710)"},
        {711, 199, "ERROR: datastore for device /dev/sdz has incorrect size"},
        {25, 25, "ERROR: operation failed (error code: 25)"},
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
