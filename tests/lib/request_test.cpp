// SPDX-License-Identifier: GPL-2.0-or-later
// The request channel's parts below the control device: the status record, request blocks, the
// path check, the translation of refusals, the version text and the bounds-checked reads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "qvctl.h"
#include "request_block.h"

TEST(Status, SetStoresCodeAndMessageCutTo255Characters)
{
    qvctl_status st{};
    EXPECT_EQ(qvctl_status_set(&st, 19, "ERROR: device %s not found", "/dev/x"), 19);
    EXPECT_EQ(st.code, 19u);
    EXPECT_STREQ(st.message, "ERROR: device /dev/x not found");
    const std::string text(300, 'x');
    qvctl_status_set(&st, 5, "%s", text.c_str());
    EXPECT_EQ(std::string(st.message), text.substr(0, 255));
}

TEST(Request, InitNewAndGrowSetTheHeadAndZeroTheRest)
{
    std::vector<std::uint8_t> block(600, 0xAA);
    qvctl_request_init(block.data());
    EXPECT_EQ(qv::load_le<std::uint32_t>(block, 0), 11u);
    EXPECT_EQ(qv::load_le<std::uint32_t>(block, 4), 528u);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 8, block.begin() + 528), std::vector<std::uint8_t>(520));
    EXPECT_EQ(block[528], 0xAA) << "init writes past 528 bytes";
    auto small = qv::request_new(100, "/dev/sdb");
    ASSERT_TRUE(small);
    EXPECT_EQ(qv::load_le<std::uint32_t>(small.view(), 4), 528u);
    EXPECT_STREQ(reinterpret_cast<const char *>(small.view().data() + 8), "/dev/sdb");

    qvctl_status st{};
    void *head = std::malloc(528);
    std::memset(head, 0x5A, 528);
    auto *grown = static_cast<std::uint8_t *>(qvctl_request_grow(head, 528, 4104, &st));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(grown, grown + 528), std::vector<std::uint8_t>(528, 0x5A));
    EXPECT_EQ(std::vector<std::uint8_t>(grown + 528, grown + 4104), std::vector<std::uint8_t>(4104 - 528));
    EXPECT_EQ(qvctl_request_grow(grown, 4104, 528, &st), nullptr);
    EXPECT_STREQ(st.message, "ERROR: Header (4104) MUST be less than new_size (528) in qvctl_request_grow");
    std::free(grown);
    EXPECT_EQ(qvctl_request_grow(nullptr, 0, 528, &st), nullptr);
    EXPECT_STREQ(st.message, "ERROR: Invalid pointer in qvctl_request_grow");
}

TEST(Request, PathCheckAllows127CharactersAndVersionNamesBoth)
{
    qvctl_status st{};
    EXPECT_EQ(qvctl_path_check(std::string(127, 'a').c_str(), &st), 0u);
    EXPECT_EQ(qvctl_path_check(std::string(128, 'a').c_str(), &st), 22u);
    EXPECT_STREQ(st.message, "ERROR: Module interface doesn't accept path longer than 127 symbols");
    char buf[256], tiny[8];
    ASSERT_EQ(qvctl_version_get(buf, sizeof buf), 0);
    const std::string text(buf);
    EXPECT_EQ(text.rfind("libqvctl version: ", 0), 0u) << text;
    EXPECT_NE(text.find(" release-"), std::string::npos) << text;
    EXPECT_NE(text.find("(API version 11)"), std::string::npos) << text;
    qvctl_version_get(tiny, sizeof tiny);
    EXPECT_EQ(std::strlen(tiny), 7u);
}

TEST(ErrorTranslate, RowsWithAndWithoutADevice)
{
    // One row of each shape: the device named, a module code cut to a byte, the fallback.
    const struct {
        int value;
        unsigned code;
        const char *device, *message;
    } rows[] = {
        {1, 1, "/dev/sdz", "ERROR: permission denied, you must be root"},
        {6, 6, "/dev/sdz", "ERROR: device /dev/sdz is not suitable for snapshot"},
        {700, 188, "/dev/sdz", "ERROR: version mismatch with kernel module"},
        {701, 189, "/dev/sdz", "ERROR: /dev/sdz: a snapshot is in progress"},
        {705, 193, "/dev/sdz", "ERROR: operation failed (error code: 705)"},
        {711, 199, "/dev/sdz", "ERROR: datastore for device /dev/sdz has incorrect size"},
        {9999, 9999 & 255, "/dev/sdz", "ERROR: operation failed (error code: 9999)"},
        {16, 16, nullptr, "ERROR: kernel module is busy, please try again later"},
    };
    for (const auto &row : rows) {
        qvctl_status st{};
        EXPECT_EQ(qvctl_error_translate(&st, row.value, row.device), row.code) << row.value;
        EXPECT_EQ(st.code, row.code) << row.value;
        EXPECT_STREQ(st.message, row.message) << row.value;
    }
    qvctl_status st{};  // no "(null)" stands in for a missing name
    qvctl_error_translate(&st, 19, nullptr);
    EXPECT_EQ(std::string(st.message).find("(null)"), std::string::npos) << st.message;
}

TEST(Bytes, ReadsAndTextOutsideTheBufferAreRefused)
{
    const std::uint8_t raw[6] = {1, 0, 0, 0, 'c', 'd'};
    const qv::bytes b(raw);
    EXPECT_EQ(qv::load_be<std::uint16_t>(b, 4), 0x6364u);
    EXPECT_FALSE(qv::try_load_le<std::uint32_t>(b, 3));
    EXPECT_FALSE(qv::try_load_le<std::uint64_t>(b, SIZE_MAX - 2));
    qv::Cursor c(b);
    EXPECT_EQ(c.le<std::uint32_t>(), 1u);
    EXPECT_EQ(c.le<std::uint32_t>(), 0u);  // only two bytes left
    EXPECT_EQ(c.le<std::uint8_t>(), 0u) << "the error is sticky";
    EXPECT_FALSE(c.ok());
    char out[16];
    EXPECT_EQ(qv::load_text(b, 4, 128, out, sizeof out), 2u);  // the buffer ends the field
    EXPECT_STREQ(out, "cd");
    EXPECT_EQ(qv::load_text(b, 4, 1, out, sizeof out), 1u);  // so does its width
    EXPECT_EQ(qv::load_text(b, 9, 2, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}
