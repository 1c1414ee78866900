// SPDX-License-Identifier: GPL-2.0-or-later
// Freezing and thawing mounted filesystems on loop devices. Built into a binary of its own that the
// ThreadSanitizer build runs too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "capability.h"
#include "loop_image.h"
#include "qvctl_internal.h"
#include "unique_fd.h"

namespace {

// Whether a write would block: a frozen filesystem refuses FIFREEZE with EBUSY, a thawed one
// refuses FITHAW with EINVAL, so ask with FITHAW and freeze again when it was frozen.
bool is_frozen(const std::string &mount_point)
{
    qv::unique_fd dir(::open(mount_point.c_str(), O_RDONLY));
    if (::ioctl(dir.get(), FITHAW, 0) != 0)
        return false;
    int one = 1;
    ::ioctl(dir.get(), FIFREEZE, &one);
    return true;
}

// The same two ioctls on every filesystem: one is enough.
TEST(Freeze, FreezeThawAndFreezingTwice)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.fs = "xfs"});
    ASSERT_TRUE(img.ok()) << img.error();
    const char *dev = img.device().c_str();

    qvctl_status st{7, "stale"};
    ASSERT_EQ(fs_freeze(dev, &st), 0u) << st.message;
    EXPECT_EQ(st.code, 0u);
    EXPECT_STREQ(st.message, "");
    EXPECT_TRUE(is_frozen(img.mount_point()));

    // The kernel refuses a second freeze at once: the worker is joined and its error returned.
    EXPECT_EQ(fs_freeze(dev, &st), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(st.code, static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(std::string(st.message), "FIFREEZE ioctl failed for device " + img.device());
    EXPECT_EQ(fs_freeze(dev, nullptr), static_cast<uint32_t>(EBUSY));

    qvctl_status thaw_st{};
    ASSERT_EQ(fs_thaw(dev, &thaw_st), 0u) << thaw_st.message;
    EXPECT_FALSE(is_frozen(img.mount_point()));

    // Thawing a thawed filesystem is the kernel's EINVAL, reported with the device.
    EXPECT_EQ(fs_thaw(dev, &thaw_st), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(std::string(thaw_st.message), "FITHAW ioctl failed for device " + img.device());

    // Frozen again after a thaw: a new worker each time.
    ASSERT_EQ(fs_freeze(dev, nullptr), 0u);
    EXPECT_EQ(fs_thaw(dev, nullptr), 0u);
}

TEST(Freeze, UnmountedDeviceIsNothingToDo)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.fs = "xfs", .mount = false});
    ASSERT_TRUE(img.ok()) << img.error();
    qvctl_status st{5, "earlier"};
    EXPECT_EQ(fs_freeze(img.device().c_str(), &st), 0u);
    EXPECT_EQ(st.code, 0u);
    EXPECT_STREQ(st.message, "");
    st = {5, "earlier"};
    EXPECT_EQ(fs_thaw(img.device().c_str(), &st), 0u);
    EXPECT_EQ(st.code, 5u);
    EXPECT_STREQ(st.message, "earlier");
}

}  // namespace
