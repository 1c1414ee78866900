// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "qvctl_internal.h"
#include "store_test_util.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace {

TEST(ZeroFill, WritesZerosFromTheCurrentOffsetOrReportsErrno)
{
    qvtest::temp_dir d;
    std::string path = d.file("f");
    qv::unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_EQ(write(fd.get(), "abc", 3), 3);
    ASSERT_EQ(file_zero_fill(fd.get(), 5000, nullptr), 0);
    EXPECT_EQ(file_zero_fill(fd.get(), 0, nullptr), 0);
    EXPECT_EQ(storetest::read_all(path), "abc" + std::string(5000, '\0'));
    qvctl_status st{};
    EXPECT_EQ(file_zero_fill(-1, 10, &st), EBADF);
    EXPECT_STREQ(st.message, "Write failed while file resetting");
}

TEST(BufferAllocShrinking, FirstAttemptKeepsTheSizeAndSmallFailuresStop)
{
    uint64_t size = 700;
    void *p = buffer_alloc_shrinking(&size, 512, true);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(size, 700u);
    std::free(p);
#if !defined(__SANITIZE_ADDRESS__)
    // An impossible request halves down to a size memory allows, in multiples of the granule.
    size = uint64_t{1} << 62;
    p = buffer_alloc_shrinking(&size, 512, false);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(size % 512, 0u);
    EXPECT_LT(size, uint64_t{1} << 62);
    std::free(p);
#endif
}

}  // namespace
