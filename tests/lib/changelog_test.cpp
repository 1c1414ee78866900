// SPDX-License-Identifier: GPL-2.0-or-later
// The changelog against the in-process module: paging, refused pages, and answers that lie.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fake_module.h"
#include "heap_block.h"

namespace {

int collect(const qvctl_changelog_entry *e, uint32_t, void *ctx, qvctl_status *)
{
    static_cast<std::vector<qvctl_changelog_entry> *>(ctx)->push_back(*e);
    return 0;
}

uint64_t last_block(const qvctl_changelog_entry &e) { return e.start + 8 * e.count - 8; }

TEST(Changelog, IteratesEveryEntryInPagesOf247)
{
    for (std::size_t n : {0, 300, 494}) {
        SCOPED_TRACE(n);
        qvtest::fake_module m;
        m.entries = qvtest::make_entries(n);
        std::vector<qvctl_changelog_entry> seen;
        qvctl_status st{};
        qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate("/dev/x", 0, collect, &seen, &st));
        EXPECT_EQ(st.code, 0u) << st.message;
        ASSERT_EQ(seen.size(), n);
        EXPECT_TRUE(n == 0 || std::memcmp(seen.data(), m.entries.data(), 16 * n) == 0);
        EXPECT_EQ(stats ? stats->entries : 0, n);
        // A full last page is followed by one more request that answers nothing.
        ASSERT_EQ(m.starts.size(), n / 247 + 1);
        for (std::size_t i = 1; i < m.starts.size(); ++i)
            EXPECT_EQ(m.starts[i], last_block(m.entries[247 * i - 1]));
    }
}

// Answers that would loop for ever or overflow the caller's list fail before any of their entries
// reaches the callback; earlier answers have been handed on whole. A refused continuation taken for
// the end would leave changed blocks out of the next image.
TEST(Changelog, LyingAnswersAndRefusedPagesEndTheIteration)
{
    constexpr uint64_t top = uint64_t{1} << 55;  // first sector past a 64-bit byte offset
    const struct {
        std::vector<qvctl_changelog_entry> entries;
        uint32_t overcount;
        bool ignore_start;
        uint32_t total;
        std::size_t handed_on;
        int refused = -1;
    } lies[] = {
        {qvtest::make_entries(10), 1000, false, 0, 0},   // counts more than it wrote
        {qvtest::make_entries(247), 1000, false, 0, 247},
        {qvtest::make_entries(300), 0, true, 0, 247},    // a page that does not move on
        {{{top - 16, 2}, {top - 8, 2}}, 0, false, 0, 0},  // past the last sector
        {{{8, 2}, {64, 3}}, 0, false, 4, 0},              // more blocks than the count
        {qvtest::make_entries(247), 0, false, 0, 247, 1},
    };
    for (const auto &l : lies) {
        SCOPED_TRACE(l.handed_on + l.entries.size());
        qvtest::fake_module m;
        m.entries = l.entries;
        m.overcount = l.overcount;
        m.ignore_start = l.ignore_start;
        m.fail_at_request = l.refused;
        std::vector<qvctl_changelog_entry> seen;
        qvctl_status st{};
        EXPECT_EQ(qvctl_changelog_iterate("/dev/x", l.total, collect, &seen, &st), nullptr);
        EXPECT_EQ(st.code, static_cast<uint32_t>(l.refused < 0 ? EPROTO : EIO)) << st.message;
        EXPECT_EQ(seen.size(), l.handed_on);
    }
    // The last sector a byte offset reaches is still a sector.
    qvtest::fake_module m;
    m.entries = {{top - 8, 1}};
    std::vector<qvctl_changelog_entry> seen;
    qvctl_status st{};
    qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate("/dev/x", 1, collect, &seen, &st));
    EXPECT_NE(stats, nullptr) << st.message;
}

}  // namespace
