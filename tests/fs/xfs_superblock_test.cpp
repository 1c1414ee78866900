// SPDX-License-Identifier: GPL-2.0-or-later
// The xfs superblock readers against images written by mkfs.xfs and against hand-built superblocks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "capability.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "temp_dir.h"
#include "xfs_image.h"

namespace {

namespace sb = fstest::sb;
using sector = std::vector<uint8_t>;
constexpr uint32_t untouched = 99;

// The code and the version, which a failure leaves at `untouched`.
std::pair<int, uint32_t> sb_version(const std::string &device, qvctl_status *st)
{
    uint32_t version = untouched;
    return {xfs_sb_version(device.c_str(), &version, st), version};
}

// Both versions (the checksum of a real superblock holds), and an external log,
// which is no extent of the device.
TEST(XfsSuperblock, ImagesWrittenByMkfs)
{
    QV_REQUIRE_CAPABILITY(qvtest::sh("command -v mkfs.xfs >/dev/null 2>&1").status != 0 ? "mkfs.xfs is not installed"
                                                                                        : "");
    qvtest::temp_dir dir;
    const std::string img = dir.file("xfs.img"), logdev = dir.file("log.img");
    for (const auto &[options, version, log_count] : {std::tuple<std::string, uint32_t, uint32_t>{"-m crc=1", 5, 1},
                                                       {"-m crc=0", 4, 1},
                                                       {"-l logdev=" + logdev, 5, untouched}}) {
        SCOPED_TRACE(options);
        qvtest::sh_ok("truncate -s 320M " + img + " " + logdev + " && mkfs.xfs -q -f " + options + " " + img + " 2>/dev/null");
        qvctl_status st{};
        uint32_t count = untouched;
        EXPECT_EQ(sb_version(img, &st), std::make_pair(0, version)) << st.message;
        EXPECT_EQ(xfs_log_extent(img.c_str(), 0, nullptr, &count, &st), 0) << st.message;
        EXPECT_EQ(count, log_count);
    }
}

// A superblock whose log lies in the third group, one thing changed and the checksum made again
// (unless `seal` is off): refused by both readers with what failed named, or accepted.
TEST(XfsSuperblock, FieldsOutOfRangeAndChecksum)
{
    const struct {
        const char *what;  // null: accepted; "magic": no superblock at all
        std::function<void(sector &)> spoil;
        bool seal = true;
    } cases[] = {
        {nullptr, [](sector &) {}},
        {"magic", [](sector &b) { b[0] = 'Y'; }},
        {"checksum", [](sector &b) { b[40] ^= 1; }, false},
        {nullptr, [](sector &b) { sb::versionnum.put(b, 0xb4a4), b[40] ^= 1; }, false},  // version 4 has none
        {"block size 3000", [](sector &b) { sb::blocksize.put(b, 3000); }},
        {"allocation group count 0", [](sector &b) { sb::agcount.put(b, 0); }},
        {"log start 4194320", [](sector &b) { sb::logstart.put(b, (4 << 20) + 16); }},
    };
    qvtest::temp_dir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what ? c.what : "accepted");
        sector b = fstest::xfs_superblock(0xb4a5, 2097168, 655360, 2560, 12, 20, c.seal ? c.spoil : nullptr);
        if (!c.seal)
            c.spoil(b);
        const std::string img = fstest::write_bytes(dir.file("sb"), b), what = c.what ? c.what : "";
        qvctl_status st{};
        EXPECT_EQ(sb_version(img, &st), std::make_pair(c.what ? 9 : 0, c.what ? untouched : sb::versionnum(b) & 0xfu));
        EXPECT_NE(std::string(st.message).find(what), std::string::npos) << st.message;
        sector_extent e{};
        EXPECT_EQ(xfs_log_extent(img.c_str(), 2048, &e, nullptr, &st), c.what ? 9 : 0);
        EXPECT_EQ(std::make_pair(e.start, e.count), c.what ? std::make_pair(0ul, 0ul) : std::make_pair(10487936ul, 20480ul));
    }
}

// An open or a read that fails: EIO from memory that is not mapped, EISDIR from a folder. None may
// pass for a version, nor give the v5 flag or a freeze.
TEST(XfsSuperblock, FailedOpenOrReadIsACodeNeverAVersion)
{
    qvtest::temp_dir dir;
    for (const auto &[device, code] : {std::pair<std::string, int>{"/proc/self/mem", 5}, {dir.path(), 21},
                                        {dir.file("absent"), 2}}) {
        SCOPED_TRACE(device);
        qvctl_status st{};
        EXPECT_EQ(sb_version(device, &st), std::make_pair(code, untouched));
        EXPECT_EQ(xfs_log_extent(device.c_str(), 0, nullptr, nullptr, &st), code);
        EXPECT_EQ(attach_flags_get(device.c_str(), FS_TYPE_XFS, &st), 0u);
        EXPECT_EQ(st.code, static_cast<uint32_t>(code));
    }
}

}  // namespace
