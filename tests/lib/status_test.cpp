// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>

#include "qvctl.h"

TEST(Status, SetStoresCodeAndMessageCutTo255Characters)
{
    qvctl_status st{};
    EXPECT_EQ(qvctl_status_set(&st, 19, "ERROR: device %s not found", "/dev/x"), 19);
    EXPECT_EQ(st.code, 19u);
    EXPECT_STREQ(st.message, "ERROR: device /dev/x not found");
    const std::string text(300, 'x');
    qvctl_status_set(&st, 5, "%s", text.c_str());
    EXPECT_EQ(std::string(st.message), text.substr(0, 255));
    EXPECT_EQ(qvctl_status_set(&st, 0, "%s", ""), 0);
    EXPECT_EQ(st.code, 0u);
    EXPECT_STREQ(st.message, "");
}
