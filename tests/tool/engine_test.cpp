// SPDX-License-Identifier: GPL-2.0-or-later
// The copy engine's single steps: the block copy's messages, the index bound, the progress line.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "engine_fixture.h"

namespace {

TEST(BlockCopy, FailedWriteNamesOffsetAndCountShortReadsSucceed)
{
    // A failed read is the program's test against a snapshot that fails from a sector.
    char buf[4096];
    qvctl_status st{};
    int zero = ::open("/dev/zero", O_RDONLY), full = ::open("/dev/full", O_WRONLY);
    EXPECT_EQ(snap_block_copy(zero, 0, full, 4096, 2048, buf, 0, &st), static_cast<std::uint32_t>(ENOSPC));
    EXPECT_EQ(std::string(st.message), "output file write at 4096 failed (18446744073709551615/2048): " +
                                           std::string(std::strerror(ENOSPC)));
    // A dry run never writes, so the full device takes it.
    qvctl_status clean{};
    EXPECT_EQ(snap_block_copy(zero, 0, full, 0, 4096, buf, SNAP_NO_WRITE, &clean), 0u);
    EXPECT_EQ(clean.code, 0u);
    ::close(zero);
    ::close(full);

    // A read past the end writes what was read and succeeds.
    tooltest::engine e(4);
    e.open_image("");
    EXPECT_EQ(snap_block_copy(e.o.snapdev_fd, 0, e.o.snapfile_fd, 0, 4096, buf, 0, &st), 0u);
    EXPECT_EQ(snap_block_copy(e.o.snapdev_fd, 8192, e.o.snapfile_fd, 8192, 4096, buf, 0, &st), 0u);
    EXPECT_TRUE(tooltest::read_file(e.image) == e.source);
}

TEST(ChangelogIndex, NeverStoresPastWhatWasCounted)
{
    std::uint64_t index[6] = {0, 0, 0, 0, 0, 99};
    qvctl_status st{};
    qvctl_changelog_entry first{2048, 3}, second{4096, 3};
    snap_changelog_collect_begin();
    EXPECT_EQ(snap_changelog_collect(&first, 5, index, &st), 0);
    EXPECT_EQ(index[0], 2048u);
    EXPECT_EQ(index[1], 2056u);
    EXPECT_EQ(index[2], 2064u);
    EXPECT_EQ(snap_changelog_collect(&second, 5, index, &st), EOVERFLOW);
    EXPECT_STREQ(st.message, "ERROR: changelog lists more blocks than the 5 it counted");
    EXPECT_EQ(index[3], 0u);
    EXPECT_EQ(index[5], 99u);
}

TEST(Progress, LineAndPercentage)
{
    char line[64];
    snap_progress_format(line, sizeof line, 5, 10);
    EXPECT_STREQ(line, "        5 / 10 (50%)\r");
    snap_progress_format(line, sizeof line, 1ull << 33, 1ull << 33);
    EXPECT_STREQ(line, " 8589934592 / 8589934592 (100%)\r");
    EXPECT_EQ(snap_progress_percent(0, 0), 100u);
    EXPECT_EQ(snap_progress_percent(1, 3), 33u);
    EXPECT_EQ(snap_progress_percent(29999999, 30000000), 99u);
    EXPECT_EQ(snap_progress_percent(~0ull / 2, ~0ull), 49u);
    EXPECT_EQ(snap_progress_percent(~0ull, ~0ull), 100u);
}

}  // namespace
