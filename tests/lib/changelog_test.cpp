// SPDX-License-Identifier: GPL-2.0-or-later
// The changelog against the in-process module: paging, the end, refusals, and answers that lie.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fake_module.h"
#include "heap_block.h"

namespace {

struct collected {
    std::vector<qvctl_changelog_entry> seen;
    std::size_t stop_at = SIZE_MAX;
};

int collect(const qvctl_changelog_entry *e, uint32_t, void *ctx, qvctl_status *)
{
    auto &c = *static_cast<collected *>(ctx);
    c.seen.push_back(*e);
    return c.seen.size() == c.stop_at ? 1 : 0;
}

uint64_t last_block(const qvctl_changelog_entry &e) { return e.start + 8 * e.count - 8; }

TEST(Changelog, IteratesEveryEntryInPagesOf247)
{
    for (std::size_t n : {0, 1, 247, 300, 494}) {
        SCOPED_TRACE(n);
        qvtest::fake_module m;
        m.entries = qvtest::make_entries(n);
        collected c;
        qvctl_status st{};
        qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate("/dev/x", 0, collect, &c, &st));
        EXPECT_EQ(st.code, 0u) << st.message;
        if (n == 0) {
            EXPECT_EQ(stats, nullptr);
            continue;
        }
        ASSERT_NE(stats, nullptr);
        ASSERT_EQ(c.seen.size(), n);
        EXPECT_EQ(std::memcmp(c.seen.data(), m.entries.data(), 16 * n), 0);
        EXPECT_EQ(stats->entries, n);
        EXPECT_EQ(stats->chunks, (n + 246) / 247);
        // A full last page is followed by one more request that answers nothing.
        ASSERT_EQ(m.starts.size(), n / 247 + 1);
        for (std::size_t i = 1; i < m.starts.size(); ++i)
            EXPECT_EQ(m.starts[i], last_block(m.entries[247 * i - 1]));
    }
}

// A failed continuation is not taken for the end; a callback's stop ends the iteration at once.
TEST(Changelog, FailedContinuationAndCallbackStopFail)
{
    for (bool refuse : {true, false}) {
        qvtest::fake_module m;
        m.entries = qvtest::make_entries(refuse ? 247 : 300);
        m.fail_at_request = refuse ? 1 : -1;
        collected c;
        c.stop_at = refuse ? SIZE_MAX : 5;
        qvctl_status st{};
        EXPECT_EQ(qvctl_changelog_iterate("/dev/x", 0, collect, &c, &st), nullptr);
        EXPECT_EQ(st.code, refuse ? static_cast<uint32_t>(EIO) : 0u);
        EXPECT_EQ(c.seen.size(), refuse ? 247u : 5u);
    }
}

// Answers that would loop for ever or overflow the caller's list fail before any of their entries
// reaches the callback; earlier answers have been handed on whole.
TEST(Changelog, LyingAnswersEndTheIteration)
{
    constexpr uint64_t top = uint64_t{1} << 55;  // first sector past a 64-bit byte offset
    const struct {
        std::vector<qvctl_changelog_entry> entries;
        uint32_t overcount;
        bool ignore_start;
        uint32_t total;
        std::size_t handed_on;
        const char *message;  // after "ERROR: /dev/x: changelog answer from sector "
    } lies[] = {
        {qvtest::make_entries(10), 1000, false, 0, 0, "0 holds an entry of 0 blocks"},
        {qvtest::make_entries(247), 1000, false, 0, 247, "holds an entry of 0 blocks"},
        {qvtest::make_entries(300), 0, true, 0, 247, "does not reach past its start"},
        {{{top - 16, 2}, {top - 8, 2}}, 0, false, 0, 0, "0 lists blocks past the last sector"},
        {{{8, 2}, {64, 3}}, 0, false, 4, 0, "0 lists more blocks than the 4 counted"},
    };
    for (const auto &l : lies) {
        SCOPED_TRACE(l.message);
        qvtest::fake_module m;
        m.entries = l.entries;
        m.overcount = l.overcount;
        m.ignore_start = l.ignore_start;
        collected c;
        qvctl_status st{};
        EXPECT_EQ(qvctl_changelog_iterate("/dev/x", l.total, collect, &c, &st), nullptr);
        EXPECT_EQ(st.code, static_cast<uint32_t>(EPROTO));
        const std::string message = st.message;
        const std::string from = l.handed_on ? std::to_string(last_block(l.entries[l.handed_on - 1])) + " " : "";
        EXPECT_EQ(message.rfind("ERROR: /dev/x: changelog answer from sector " + from, 0), 0u) << message;
        EXPECT_NE(message.find(l.message), std::string::npos) << message;
        EXPECT_EQ(c.seen.size(), l.handed_on);
    }
    // The last sector a byte offset reaches is still a sector.
    qvtest::fake_module m;
    m.entries = {{top - 8, 1}};
    collected c;
    qvctl_status st{};
    qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate("/dev/x", 1, collect, &c, &st));
    EXPECT_NE(stats, nullptr) << st.message;
}

// The count is the module's; the list keeps the low 32 bits of each count.
TEST(Changelog, CountAndListWithLow32BitsOfEachCount)
{
    qvtest::fake_module m;
    qvctl_status st{};
    EXPECT_EQ(qvctl_changelog_get("/dev/x", &st), nullptr);  // empty: null with success
    EXPECT_EQ(st.code, 0u);
    m.entries = {{1000, 3}, {2000, 0x100000002ull}, {3000, 1}};
    EXPECT_EQ(qvctl_changelog_count("/dev/x", &st), 6u);
    qvctl_changelog *list = qvctl_changelog_get("/dev/x", &st);
    ASSERT_NE(list, nullptr) << st.message;
    ASSERT_EQ(qvctl_changelog_length(list), 3u);
    const qvctl_changelog_entry second = qvctl_changelog_item(list, 1);  // an unaligned item
    EXPECT_EQ(second.start, 2000u);
    EXPECT_EQ(second.count, 2u);
    EXPECT_EQ(qvctl_changelog_item(list, 2).start, 3000u);
    qvctl_changelog_free(list);
    m.fail_at_request = static_cast<int>(m.requests.size());
    EXPECT_EQ(qvctl_changelog_count("/dev/x", &st), 0u);
    EXPECT_EQ(st.code, static_cast<uint32_t>(EIO));
}

}  // namespace
