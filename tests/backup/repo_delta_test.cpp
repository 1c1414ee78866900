// SPDX-License-Identifier: GPL-2.0-or-later
// A delta read back as written; a torn tail of an interrupted run's delta ends it where the last
// durable batch ended, while the same damage in a finished delta is an error; and the spot check's
// ranks become the blocks that the changelog did not list.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "backup_checks.h"
#include "block_io.h"
#include "repo.h"
#include "repo_delta.h"
#include "temp_dir.h"

namespace {

using namespace qvctl_cli;

struct delta_repo {
    qvtest::temp_dir dir;
    repo r;
    delta_repo()
    {
        ::chmod(dir.path().c_str(), 0700);
        EXPECT_EQ(repo_open(r, dir.path(), repo_access::create), 0) << r.st.message;
    }
    std::vector<delta_entry> read(bool pending, int &code)
    {
        std::vector<delta_entry> out;
        delta_reader d;
        qvctl_status st{};
        code = d.open(r, 3, 800, st);
        if (!code)
            code = d.each(pending, [&](const delta_entry &e) { return out.push_back(e), 0; }, st);
        return out;
    }
};

TEST(RepoDelta, ReadsBackAsWrittenAndATornTailEndsOnlyAPendingDelta)
{
    delta_repo t;
    delta_writer w;
    ASSERT_EQ(w.create(t.r, 3, 800), 0) << t.r.st.message;
    std::vector<unsigned char> block(4096, 0x5a);
    w.add(16, block, false, block_sum(block));
    w.add(24, {}, true, zero_sum());
    ASSERT_EQ(w.flush(t.r.st), 0);
    block[7] = 1;
    w.add(40, block, false, block_sum(block));
    ASSERT_EQ(w.flush(t.r.st), 0);
    EXPECT_EQ(w.blocks(), 3u);
    EXPECT_EQ(w.data_blocks(), 2u);

    int code = -1;
    auto back = t.read(false, code);
    ASSERT_EQ(code, 0);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[1].sector, 24u);
    EXPECT_TRUE(back[1].zero);
    EXPECT_EQ(back[2].data_index, 1u);
    delta_reader d;
    qvctl_status st{};
    ASSERT_EQ(d.open(t.r, 3, 800, st), 0);
    std::vector<unsigned char> out(4096);
    EXPECT_EQ(d.content(back[2], 3, out, st), 0);
    EXPECT_EQ(out, block);

    // The last record half written and one data byte changed.
    const std::string map = t.dir.file("deltas/3.map"), data = t.dir.file("deltas/3.data");
    ASSERT_EQ(::truncate(map.c_str(), 32 + 2 * 32 + 20), 0);
    EXPECT_EQ(t.read(true, code).size(), 2u);
    EXPECT_EQ(code, 0);
    qv::unique_fd fd(::open(data.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::pwrite(fd.get(), "x", 1, 100), 1);
    back = t.read(true, code);
    EXPECT_EQ(d.content(back[0], 3, out, st), repo_damaged);
    EXPECT_STREQ(st.message, "ERROR: point 3: the block at sector 16 differs from its checksum");
    // A record changed in place fails its CRC.
    qv::unique_fd mfd(::open(map.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::pwrite(mfd.get(), "\x01", 1, 32 + 32 + 3), 1);
    EXPECT_EQ(t.read(true, code).size(), 1u);
    t.read(false, code);
    EXPECT_EQ(code, repo_damaged);
    // Another point's or another size's delta is not taken for this one.
    delta_reader other;
    EXPECT_EQ(other.open(t.r, 3, 808, st), repo_damaged);
}

TEST(SpotWalk, RanksBecomeTheBlocksTheChangelogDidNotList)
{
    // 20 blocks; the changelog lists 0-1, 5-7 and 19.
    spot_walk w;
    w.ranks = {0, 1, 2, 3, 13};
    for (auto [first, count] : {std::pair{0, 2}, {5, 3}, {19, 1}})
        w.run(first, count);
    w.end(20);
    EXPECT_EQ(w.blocks, (std::vector<std::uint64_t>{2, 3, 4, 8, 18}));
    EXPECT_EQ(spot_ranks(5, 10).size(), 5u);
    EXPECT_TRUE(spot_ranks(0, 10).empty());
}

}  // namespace
