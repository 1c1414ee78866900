// SPDX-License-Identifier: GPL-2.0-or-later
// The request channel against the control device itself: missing, or present but not the module.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "capability.h"
#include "qvctl.h"

TEST(Channel, MissingModuleAndAForeignNode)
{
    QV_REQUIRE_ROOT_LOOP();
    const char *control = "/dev/quorvex";
    struct stat sb;
    QV_REQUIRE_CAPABILITY(::lstat(control, &sb) == 0 ? "no control device present (a module or stand-in is running)" : "");
    qvctl_status st{};
    char snap[4096] = "unchanged";
    EXPECT_EQ(qvctl_snapshot_get("/dev/loop0", snap, &st), 2u);
    EXPECT_STREQ(st.message, "failed to open /dev/quorvex. Possible the module is not loaded: No such file or directory");

    // A node that answers every ioctl with ENOTTY (the null device's numbers), removed on every path.
    ASSERT_EQ(::mknod(control, S_IFCHR | 0600, makedev(1, 3)), 0);
    struct node_removal {
        const char *path;
        ~node_removal() { ::unlink(path); }
    } removal{control};
    EXPECT_EQ(qvctl_snapshot_get("/dev/loop0", snap, &st), 25u);
    EXPECT_EQ(st.code, 25u);
    EXPECT_STREQ(st.message, "ERROR: operation failed (error code: 25)");
    EXPECT_STREQ(snap, "unchanged");
}
