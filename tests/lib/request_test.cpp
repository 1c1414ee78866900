// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "qvctl.h"
#include "request_block.h"

TEST(Request, InitAndNewSetVersionSizeAndDevice)
{
    std::vector<std::uint8_t> block(600, 0xAA);
    qvctl_request_init(block.data());
    qv::bytes b(block);
    EXPECT_EQ(qv::load_le<std::uint32_t>(b, 0), 11u);
    EXPECT_EQ(qv::load_le<std::uint32_t>(b, 4), 528u);
    for (size_t i = 8; i < 528; ++i)
        ASSERT_EQ(block[i], 0) << "byte " << i;
    EXPECT_EQ(block[528], 0xAA) << "init writes past 528 bytes";

    auto small = qv::request_new(100, "/dev/sdb");
    ASSERT_TRUE(small);
    EXPECT_EQ(small.length, 528u);
    EXPECT_EQ(qv::load_le<std::uint32_t>(small.view(), 4), 528u);
    EXPECT_STREQ(reinterpret_cast<const char *>(small.view().data() + 8), "/dev/sdb");
    auto large = qv::request_new(4104);
    ASSERT_TRUE(large);
    EXPECT_EQ(qv::load_le<std::uint32_t>(large.view(), 4), 4104u);
}

TEST(Request, PathCheckAllows127CharactersAndFitCountsTheRoom)
{
    EXPECT_EQ(qvctl_fit_count(4096, 144, 16), 247u);
    EXPECT_EQ(qvctl_fit_count(4096, 152, 16), 246u);
    EXPECT_EQ(qvctl_fit_count(152, 152, 16), 0u);
    EXPECT_EQ(qvctl_fit_count(100, 152, 16), 0u);
    qvctl_status st{};
    EXPECT_EQ(qvctl_path_check(std::string(127, 'a').c_str(), &st), 0u);
    EXPECT_EQ(st.code, 0u);
    EXPECT_EQ(qvctl_path_check(std::string(128, 'a').c_str(), &st), 22u);
    EXPECT_EQ(st.code, 22u);
    EXPECT_STREQ(st.message, "ERROR: Module interface doesn't accept path longer than 127 symbols");
}

TEST(Request, GrowKeepsTheHeadAndZeroesTheRest)
{
    qvctl_status st{};
    void *block = std::malloc(528);
    std::memset(block, 0x5A, 528);
    void *grown = qvctl_request_grow(block, 528, 4104, &st);
    ASSERT_NE(grown, nullptr);
    auto *p = static_cast<unsigned char *>(grown);
    for (size_t i = 0; i < 528; ++i)
        ASSERT_EQ(p[i], 0x5A);
    for (size_t i = 528; i < 4104; ++i)
        ASSERT_EQ(p[i], 0);
    EXPECT_EQ(qvctl_request_grow(grown, 4104, 4104, &st), grown);

    EXPECT_EQ(qvctl_request_grow(grown, 4104, 528, &st), nullptr);
    EXPECT_EQ(st.code, 22u);
    EXPECT_STREQ(st.message, "ERROR: Header (4104) MUST be less than new_size (528) in qvctl_request_grow");
    std::free(grown);

    EXPECT_EQ(qvctl_request_grow(nullptr, 0, 528, &st), nullptr);
    EXPECT_STREQ(st.message, "ERROR: Invalid pointer in qvctl_request_grow");
}

TEST(Request, VersionTextHasTheBuildAndApiVersions)
{
    char buf[256];
    ASSERT_EQ(qvctl_version_get(buf, sizeof buf), 0);
    const std::string text(buf);
    EXPECT_EQ(text.rfind("libqvctl version: ", 0), 0u) << text;
    EXPECT_NE(text.find(" release-"), std::string::npos) << text;
    EXPECT_NE(text.find("(API version 11)"), std::string::npos) << text;

    char tiny[8];
    qvctl_version_get(tiny, sizeof tiny);
    EXPECT_EQ(std::strlen(tiny), 7u);
}

TEST(Bytes, ReadsAndTextOutsideTheBufferAreRefused)
{
    const std::uint8_t raw[6] = {1, 0, 0, 0, 0xAB, 0xCD};
    qv::bytes b(raw);
    EXPECT_EQ(qv::load_le<std::uint32_t>(b, 0), 1u);
    EXPECT_EQ(qv::load_be<std::uint16_t>(b, 4), 0xABCDu);
    EXPECT_FALSE(qv::try_load_le<std::uint32_t>(b, 3));
    EXPECT_FALSE(qv::try_load_le<std::uint8_t>(b, 6));
    EXPECT_FALSE(qv::try_load_le<std::uint64_t>(b, SIZE_MAX - 2));

    qv::Cursor c(b);
    EXPECT_EQ(c.le<std::uint32_t>(), 1u);
    EXPECT_EQ(c.le<std::uint32_t>(), 0u);  // only two bytes left
    EXPECT_FALSE(c.ok());
    EXPECT_EQ(c.le<std::uint8_t>(), 0u) << "the error is sticky";

    // Text fields stop at their width and at the buffer's end.
    const std::uint8_t text[4] = {'a', 'b', 'c', 'd'};  // no terminator
    char out[16];
    EXPECT_EQ(qv::load_text(qv::bytes(text), 1, 128, out, sizeof out), 3u);
    EXPECT_STREQ(out, "bcd");
    EXPECT_EQ(qv::load_text(qv::bytes(text), 0, 2, out, sizeof out), 2u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(qv::load_text(qv::bytes(text), 9, 2, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}
