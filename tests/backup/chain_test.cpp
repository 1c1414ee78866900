// SPDX-License-Identifier: GPL-2.0-or-later
// The manifest of a repository: records survive a write and a read with any text in them, and a damaged
// line is refused rather than half read.
#include <gtest/gtest.h>

#include <fstream>

#include "chain_manifest.h"
#include "temp_dir.h"

namespace {

using qvctl_cli::chain_record;

TEST(ChainManifest, RecordsRoundTripWithAnyTextAndDamagedLinesAreRefused)
{
    chain_record failed{.seq = 3, .point = 2, .kind = "incremental", .start = "2026-01-02T03:04:05Z", .end = "2026-01-02T03:04:09Z",
                        .device = "/dev/loop0p1", .fs = "xfs", .snapshot = "/dev/loop7", .blocks = 1ull << 40,
                        .bytes = 4096, .verified = false, .result = "failed", .pid = 4242, .code = 9,
                        .message = "ERROR: \"odd\" path\\with\ttab\nand newline"};
    qvtest::temp_dir dir;
    std::string path = dir.file("manifest");
    qvctl_status st{};
    ASSERT_TRUE(qvctl_cli::chain_write(path, {failed, {.seq = 4, .kind = "base", .result = "started"}}, st));
    std::vector<chain_record> back;
    ASSERT_TRUE(qvctl_cli::chain_read(path, back, st)) << st.message;
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(qvctl_cli::chain_record_json(back[0]), qvctl_cli::chain_record_json(failed));
    EXPECT_EQ(back[0].message, failed.message);

    for (const char *line : {"{\"seq\":1,\"kind\":\"base\"", "{\"seq\":x,\"kind\":\"base\",\"result\":\"started\"}",
                             "{\"seq\":1,\"result\":\"started\"}", "not json",
                             "{\"seq\":1,\"kind\":\"base\",\"result\":\"a\\q\"}"})
        EXPECT_FALSE(qvctl_cli::chain_record_parse(line)) << line;
    std::ofstream(path) << "{\"seq\":1,\"kind\":\"base\",\"result\":\"succeeded\"}\n{\"seq\":2,\"kind\n";
    EXPECT_FALSE(qvctl_cli::chain_read(path, back, st));
    EXPECT_STREQ(st.message, ("ERROR: " + path + ": line 2 is no backup record").c_str());
}

}  // namespace
