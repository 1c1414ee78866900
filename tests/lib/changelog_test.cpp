// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "heap_block.h"

#include "fake_changelog_module.h"
#include "qvctl.h"
#include "qvctl_internal.h"

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

class Changelog : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Changelog, IteratesEveryEntryInChunksOf247)
{
    qvtest::fake_changelog m;
    m.entries = qvtest::make_entries(GetParam());
    collected c;
    qvctl_status st{};
    qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate("/dev/x", 0, collect, &c, &st));
    if (GetParam() == 0) {
        EXPECT_EQ(stats, nullptr);
        EXPECT_EQ(st.code, 0u);
        return;
    }
    ASSERT_NE(stats, nullptr) << st.message;
    EXPECT_EQ(st.code, 0u);
    ASSERT_EQ(c.seen.size(), m.entries.size());
    EXPECT_EQ(std::memcmp(c.seen.data(), m.entries.data(), 16 * c.seen.size()), 0);
    EXPECT_EQ(stats->entries, GetParam());
    // A full last chunk is followed by one more request that answers nothing.
    EXPECT_EQ(m.starts.size(), GetParam() / 247 + 1);
    EXPECT_EQ(stats->chunks, (GetParam() + 246) / 247);
    for (std::size_t i = 1; i < m.starts.size(); ++i) {
        auto &last = m.entries[247 * i - 1];
        EXPECT_EQ(m.starts[i], last.start + 8 * last.count - 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Changelog, ::testing::Values(0, 1, 247, 300, 494));

// A failed continuation is not taken for the end; a callback's stop ends the iteration at once.
TEST(ChangelogFailure, FailedContinuationAndCallbackStop)
{
    for (bool refuse : {true, false}) {
        qvtest::fake_changelog m;
        m.entries = qvtest::make_entries(refuse ? 247 : 300);
        m.fail_at_request = refuse ? 1 : -1;
        collected c;
        c.stop_at = refuse ? SIZE_MAX : 5;
        qvctl_status st{};
        EXPECT_EQ(qvctl_changelog_iterate("/dev/x", 0, collect, &c, &st), nullptr);
        EXPECT_EQ(st.code, refuse ? static_cast<uint32_t>(EIO) : 0u);
        EXPECT_EQ(c.seen.size(), refuse ? 247u : 5u);
        EXPECT_EQ(m.starts.size(), 1u);
    }
}

// Answers that would loop for ever or overflow the caller's list fail before any of their entries
// reaches the callback; earlier answers have been handed on whole.
TEST(ChangelogFailure, LyingAnswersEndTheIteration)
{
    constexpr uint64_t top = uint64_t{1} << 55;  // first sector past a 64-bit byte offset
    struct lie {
        std::size_t real;
        std::vector<qvctl_changelog_entry> entries;  // used when `real` is 0
        uint32_t overcount;
        bool ignore_start;
        uint32_t total;
        std::size_t handed_on;
        const char *message;  // after "ERROR: /dev/x: changelog answer from sector "
    } lies[] = {
        {10, {}, 1000, false, 0, 0, "0 holds an entry of 0 blocks"},
        {247, {}, 1000, false, 0, 247, "holds an entry of 0 blocks"},
        {300, {}, 0, true, 0, 247, "does not reach past its start"},
        {0, {{top - 16, 2}, {top - 8, 2}}, 0, false, 0, 0, "0 lists blocks past the last sector"},
        {0, {{8, 2}, {64, 3}}, 0, false, 4, 0, "0 lists more blocks than the 4 counted"},
    };
    for (const lie &l : lies) {
        SCOPED_TRACE(l.message);
        qvtest::fake_changelog m;
        m.entries = l.real ? qvtest::make_entries(l.real) : l.entries;
        m.overcount = l.overcount;
        m.ignore_start = l.ignore_start;
        collected c;
        qvctl_status st{};
        EXPECT_EQ(qvctl_changelog_iterate("/dev/x", l.total, collect, &c, &st), nullptr);
        EXPECT_EQ(st.code, static_cast<uint32_t>(EPROTO));
        std::string message = st.message;
        EXPECT_EQ(message.rfind("ERROR: /dev/x: changelog answer from sector ", 0), 0u) << message;
        EXPECT_NE(message.find(l.message), std::string::npos) << message;
        EXPECT_EQ(c.seen.size(), l.handed_on);
        EXPECT_LE(m.starts.size(), 2u);
        if (l.handed_on) {
            auto &last = m.entries[l.handed_on - 1];
            EXPECT_NE(message.find(std::to_string(last.start + 8 * last.count - 8) + " "), std::string::npos);
        }
    }
    // The last sector a byte offset reaches is still a sector.
    qvtest::fake_changelog m;
    m.entries = {{top - 8, 1}};
    collected c;
    qvctl_status st{};
    qv::heap_ptr<qvctl_changelog_stats> stats(qvctl_changelog_iterate("/dev/x", 1, collect, &c, &st));
    EXPECT_NE(stats, nullptr) << st.message;
}

// The count is the module's; the list keeps the low 32 bits of each count.
TEST(ChangelogList, CountSumsAndListKeepsLow32BitsOfEachCount)
{
    qvtest::fake_changelog m;
    qvctl_status st{};
    EXPECT_EQ(qvctl_changelog_get("/dev/x", &st), nullptr);  // empty: null with success
    EXPECT_EQ(st.code, 0u);
    m.entries = {{1000, 3}, {2000, 0x100000002ull}, {3000, 1}};
    EXPECT_EQ(qvctl_changelog_count("/dev/x", &st), 6u);
    qvctl_changelog *list = qvctl_changelog_get("/dev/x", &st);
    ASSERT_NE(list, nullptr) << st.message;
    ASSERT_EQ(qvctl_changelog_length(list), 3u);
    qvctl_changelog_entry second = qvctl_changelog_item(list, 1);  // an unaligned item
    EXPECT_EQ(second.start, 2000u);
    EXPECT_EQ(second.count, 2u);
    EXPECT_EQ(qvctl_changelog_item(list, 2).start, 3000u);
    qvctl_changelog_free(list);
    qvctl_changelog_free(nullptr);
    m.fail_at_request = m.requests;
    EXPECT_EQ(qvctl_changelog_count("/dev/x", &st), 0u);
    EXPECT_EQ(st.code, static_cast<uint32_t>(EIO));
    EXPECT_EQ(changelog_list_append(&m.entries.emplace_back(), 0, nullptr, &st), EINVAL);
    EXPECT_NE(std::strstr(st.message, "changelog_list_append"), nullptr);
}

}  // namespace
