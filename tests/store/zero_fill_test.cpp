#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "qvctl_internal.h"

namespace {

struct temp_file {
    std::string path = "/tmp/qv-zero-XXXXXX";
    int fd = mkstemp(path.data());
    ~temp_file()
    {
        if (fd >= 0)
            close(fd);
        unlink(path.c_str());
    }
};

TEST(ZeroFill, WritesZerosFromTheCurrentOffset)
{
    temp_file f;
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(write(f.fd, "abc", 3), 3);
    ASSERT_EQ(file_zero_fill(f.fd, 5000, nullptr), 0);
    struct stat sb;
    ASSERT_EQ(fstat(f.fd, &sb), 0);
    EXPECT_EQ(sb.st_size, 5003);
    char buf[5003];
    ASSERT_EQ(pread(f.fd, buf, sizeof buf, 0), 5003);
    EXPECT_EQ(std::string(buf, 3), "abc");
    for (int i = 3; i < 5003; ++i)
        ASSERT_EQ(buf[i], 0);
    EXPECT_EQ(file_zero_fill(f.fd, 0, nullptr), 0);
}

TEST(ZeroFill, FailedWriteReportsErrno)
{
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
