// SPDX-License-Identifier: GPL-2.0-or-later
// The request channel against a control device that is missing, or present but not the module.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "capability.h"
#include "qvctl.h"

namespace {

constexpr const char *control = "/dev/quorvex";

bool control_exists()
{
    struct stat sb;
    return ::lstat(control, &sb) == 0;
}

// A node that answers every ioctl with ENOTTY (the null device's numbers), removed on every path.
struct foreign_control_node {
    bool made = ::mknod(control, S_IFCHR | 0600, makedev(1, 3)) == 0;
    ~foreign_control_node()
    {
        if (made)
            ::unlink(control);
    }
};

}  // namespace

TEST(Channel, MissingModuleIsReportedWithStatsErrno)
{
    QV_REQUIRE_CAPABILITY(control_exists() ? std::string("no control device present (a module or stand-in is running)")
                                           : std::string());
    qvctl_status st{};
    char snap[4096] = "unchanged";
    EXPECT_EQ(qvctl_snapshot_get("/dev/loop0", snap, &st), 2u);
    EXPECT_EQ(st.code, 2u);
    EXPECT_STREQ(st.message, "failed to open /dev/quorvex. Possible the module is not loaded: No such file or directory");
    EXPECT_STREQ(snap, "unchanged");

    std::uint8_t block[528];
    qvctl_request_init(block);
    EXPECT_EQ(qvctl_ioctl(QVCTL_REQ_DEVICE_LIST, block, nullptr, nullptr), 2u);
}

TEST(Channel, ForeignNodeAnswersWithTheDefaultMessage)
{
    QV_REQUIRE_ROOT_LOOP();
    QV_REQUIRE_CAPABILITY(control_exists() ? std::string("no control device present (a module or stand-in is running)")
                                           : std::string());
    foreign_control_node node;
    ASSERT_TRUE(node.made);

    qvctl_status st{};
    char snap[4096] = "unchanged";
    EXPECT_EQ(qvctl_snapshot_get("/dev/loop0", snap, &st), 25u);
    EXPECT_STREQ(st.message, "ERROR: operation failed (error code: 25)");
    EXPECT_STREQ(snap, "unchanged");

    // Success leaves the record as it was: a status set before stays.
    qvctl_status kept{};
    qvctl_status_set(&kept, 7, "kept");
    std::uint8_t block[528];
    qvctl_request_init(block);
    EXPECT_EQ(qvctl_ioctl(QVCTL_REQ_SNAPSHOT_GET, block, "/dev/loop0", &kept), 25u);
    EXPECT_EQ(kept.code, 25u);
}
