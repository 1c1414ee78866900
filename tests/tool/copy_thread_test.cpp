// SPDX-License-Identifier: GPL-2.0-or-later
// The copy engine end to end in the test process: base and incremental runs, per-block files,
// several workers, failing workers and failing changelogs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "engine_fixture.h"
#include "fake_changelog_module.h"

namespace {

using tooltest::engine;
using tooltest::read_file;

class BaseRun : public ::testing::TestWithParam<int> {};

TEST_P(BaseRun, ImageEqualsTheDeviceWithAShortLastBlock)
{
    // 20 sectors: blocks of 8, 8 and 4 sectors; the last one 2048 bytes at offset 8192.
    for (std::uint64_t sectors : {20, 8, 2053}) {
        engine e(sectors, 0, GetParam());
        e.open_image(std::string(50000, 'x'));  // longer than the device: truncated first
        ASSERT_EQ(e.copy(), 0u) << e.o.status.message;
        EXPECT_TRUE(read_file(e.image) == e.source) << sectors << " sectors";
        EXPECT_EQ(snap_progress_copied(), (sectors + 7) / 8);
        EXPECT_EQ(e.o.changelog, nullptr);
    }
    engine hidden(80, SNAP_HIDE_PROGRESS, GetParam());  // hidden progress counts nothing
    hidden.open_image();
    ASSERT_EQ(hidden.copy(), 0u);
    EXPECT_TRUE(read_file(hidden.image) == hidden.source);
    EXPECT_EQ(snap_progress_copied(), 0u);
}

// One worker, an uneven split, and more workers than blocks.
INSTANTIATE_TEST_SUITE_P(Workers, BaseRun, ::testing::Values(1, 3, 40));

// Dry runs are the program's own test, base, incremental and separated.
TEST(BaseRunEdges, NoSectorsAndAFailedSizeQuery)
{
    engine e(0, 0, 4);
    e.open_image("kept");
    EXPECT_EQ(e.copy(), 0u);
    EXPECT_EQ(read_file(e.image), "");  // truncated by its open, never reset
    EXPECT_EQ(e.size.queries, 1);

    engine bad(16);
    bad.size.error = ENXIO;
    bad.open_image("kept");
    EXPECT_EQ(bad.copy(), static_cast<std::uint32_t>(ENXIO));
    EXPECT_STREQ(bad.o.status.message, "fake size query of /dev/qvtest-source failed");
}

// Blocks of the index, in the order the changelog gives them.
std::vector<std::uint64_t> sectors_of(const std::vector<qvctl_changelog_entry> &entries)
{
    std::vector<std::uint64_t> v;
    for (auto &en : entries)
        for (std::uint64_t j = 0; j < en.count; ++j)
            v.push_back(en.start + 8 * j);
    return v;
}

class Incremental : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Incremental, PatchesListedBlocksInPlaceAndNothingElse)
{
    qvtest::fake_changelog m;
    m.entries = qvtest::make_entries(GetParam());
    auto blocks = sectors_of(m.entries);
    std::uint64_t sectors = blocks.empty() ? 64 : blocks.back() + 8 + 16;
    engine e(sectors, SNAP_INCREMENTAL, 4);
    std::string before(sectors * 512, 'x');
    e.open_image(before);
    ASSERT_EQ(e.copy(), 0u) << e.o.status.message;
    std::string expected = before;
    for (auto s : blocks)
        expected.replace(s * 512, 4096, e.source, s * 512, 4096);
    EXPECT_TRUE(read_file(e.image) == expected);
    EXPECT_EQ(snap_progress_copied(), blocks.size());
    EXPECT_EQ(e.o.changelog, nullptr) << "the index is released by the run";
}

// Empty, one entry, one past a full page, and past two pages.
INSTANTIATE_TEST_SUITE_P(ChangelogSizes, Incremental, ::testing::Values(0, 1, 247, 494));

TEST(Separated, EachBlockInItsOwnFileFromOffsetZero)
{
    qvtest::fake_changelog m;
    m.entries = {{2048, 3}, {4000, 1}};
    engine e(4004, SNAP_INCREMENTAL | SNAP_SEPARATED | SNAP_HIDE_PROGRESS, 2);
    ASSERT_EQ(e.copy(), 0u) << e.o.status.message;
    for (std::uint64_t s : {2048, 2056, 2064})
        EXPECT_TRUE(read_file(e.image + "." + std::to_string(s)) == e.source.substr(s * 512, 4096)) << s;
    // The device's last block holds only the four sectors that remain.
    EXPECT_TRUE(read_file(e.image + ".4000") == e.source.substr(4000 * 512));  // 2048 bytes
    EXPECT_FALSE(std::filesystem::exists(e.image));
}

TEST(FailingWorkers, LowestNumberedFailureGivesTheRunsCodeAndOthersFinish)
{
    // 4 workers over 16 blocks, 4 each. A directory where worker 1's file should be (EISDIR), a
    // link into nowhere for worker 2's (ENOENT); then the other way round.
    for (bool swapped : {false, true}) {
        qvtest::fake_changelog m;
        m.entries = {{0, 16}};
        engine e(128, SNAP_INCREMENTAL | SNAP_SEPARATED, 4);  // progress on: it must still end
        std::string dir_block = e.image + (swapped ? ".72" : ".40");
        std::string link_block = e.image + (swapped ? ".40" : ".72");
        ASSERT_EQ(::mkdir(dir_block.c_str(), 0755), 0);
        ASSERT_EQ(::symlink((e.dir.path() + "/none/x").c_str(), link_block.c_str()), 0);
        std::uint32_t code = e.copy();
        EXPECT_EQ(code, static_cast<std::uint32_t>(swapped ? ENOENT : EISDIR));
        EXPECT_STREQ(e.o.status.message, "one of workers has failed");
        EXPECT_EQ(snap_progress_copied(), 8u + 2u);  // workers 0 and 3 whole, 1 and 2 one block each
        for (std::uint64_t s : {0, 24, 32, 64, 96, 120})
            EXPECT_TRUE(read_file(e.image + "." + std::to_string(s)) == e.source.substr(s * 512, 4096)) << s;
        EXPECT_FALSE(std::filesystem::exists(e.image + ".48")) << "worker 1 went on after its failure";
        EXPECT_FALSE(std::filesystem::exists(e.image + ".80")) << "worker 2 went on after its failure";
    }
}

TEST(FailingChangelog, NoBlockIsWrittenAndTheCodeIsKept)
{
    for (int refused : {0, 1, 2}) {  // the count, the first chunk, the continuation
        qvtest::fake_changelog m;
        m.entries = qvtest::make_entries(300);
        m.fail_at_request = refused;
        engine e(8192, SNAP_INCREMENTAL, 2);
        e.open_image("old");
        EXPECT_EQ(e.copy(), static_cast<std::uint32_t>(EIO)) << refused;
        EXPECT_STREQ(e.o.status.message, "fake refusal");
        EXPECT_EQ(read_file(e.image), "old");
        EXPECT_EQ(e.o.changelog, nullptr);
    }
}

}  // namespace
