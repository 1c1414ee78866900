#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cstdint>

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
