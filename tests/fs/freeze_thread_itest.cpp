// SPDX-License-Identifier: GPL-2.0-or-later
// Freezing and thawing mounted filesystems on loop devices. Built into a binary of its own that the
// ThreadSanitizer build runs too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

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

// One page whose first touch blocks until the test lets it go: a write() from it holds the
// filesystem's write protection meanwhile, which a freeze must wait for.
class held_page {
public:
    held_page()
    {
        fd_.reset(static_cast<int>(::syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK)));
        page_ = ::mmap(nullptr, size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        uffdio_api api{.api = UFFD_API, .features = 0, .ioctls = 0};
        uffdio_register reg{.range = {reinterpret_cast<__u64>(page_), size()}, .mode = UFFDIO_REGISTER_MODE_MISSING,
                            .ioctls = 0};
        ok_ = fd_ && page_ != MAP_FAILED && ::ioctl(fd_.get(), UFFDIO_API, &api) == 0 &&
              ::ioctl(fd_.get(), UFFDIO_REGISTER, &reg) == 0;
    }
    ~held_page()
    {
        if (page_ != MAP_FAILED)
            ::munmap(page_, size());
    }
    bool ok() const { return ok_; }
    void *data() const { return page_; }
    static std::size_t size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
    // Waits for the first touch to arrive (false after 5 s).
    bool touched()
    {
        pollfd p{fd_.get(), POLLIN, 0};
        uffd_msg msg{};
        return ::poll(&p, 1, 5000) == 1 && ::read(fd_.get(), &msg, sizeof msg) == sizeof msg;
    }
    void release()
    {
        uffdio_zeropage zero{.range = {reinterpret_cast<__u64>(page_), size()}, .mode = 0, .zeropage = 0};
        ::ioctl(fd_.get(), UFFDIO_ZEROPAGE, &zero);
    }

private:
    qv::unique_fd fd_;
    void *page_ = MAP_FAILED;
    bool ok_ = false;
};

// The same two ioctls on every filesystem: one is enough. Then the freeze waits for a writer past the
// 2-second bound; the thaw comes while writers still drain, the kernel refuses it, and fs_freeze
// gives up. When the writer ends the freeze takes hold, and it must not stay: nothing else would
// ever thaw it.
TEST(Freeze, FreezeThawAndAFreezeTakingHoldAfterTheGiveUpIsUndone)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.fs = "xfs"});
    ASSERT_TRUE(img.ok()) << img.error();
    const char *dev = img.device().c_str();
    qvctl_status st{};
    ASSERT_EQ(fs_freeze(dev, &st), 0u) << st.message;
    EXPECT_TRUE(is_frozen(img.mount_point()));
    ASSERT_EQ(fs_thaw(dev, &st), 0u) << st.message;
    EXPECT_FALSE(is_frozen(img.mount_point()));

    held_page page;
    QV_REQUIRE_CAPABILITY(page.ok() ? "" : std::string("userfaultfd: ") + std::strerror(errno));
    qv::unique_fd file(::open((img.mount_point() + "/held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file);
    ssize_t written = -1;
    std::thread writer([&] { written = ::write(file.get(), page.data(), held_page::size()); });
    ASSERT_TRUE(page.touched());
    EXPECT_EQ(fs_freeze(dev, &st), static_cast<uint32_t>(EINVAL));
    page.release();
    writer.join();
    EXPECT_EQ(written, static_cast<ssize_t>(held_page::size()));
    ::usleep(500000);  // the freeze completes once the writer is out
    bool frozen = true;
    for (int i = 0; i < 50 && (frozen = is_frozen(img.mount_point())); ++i)
        ::usleep(100000);
    EXPECT_FALSE(frozen) << "the late freeze stayed";
    if (frozen)
        fs_thaw(dev, nullptr);
}

}  // namespace
