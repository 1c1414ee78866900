// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

TEST(SysfsDiskName, LeadingNonDigitsNameTheDisk)
{
    // Leading digits are delimiters too.
    for (auto [name, disk] : {std::pair{"sda1", "sda"}, {"sda", "sda"}, {"nvme0n1p1", "nvme"}, {"loop0p1", "loop"},
                              {"12ab3", "ab"}, {"0123", ""}, {"", ""}})
        EXPECT_EQ(qv::sysfs_disk_name(name), disk) << name;
}

// A sysfs tree of its own, with device names that are files of the fixture. As in the kernel's,
// /block and /class/block hold links into /devices; loop8's partition is found only through its
// class entry, nvme0n1p1 has nothing but a class entry.
class SysfsAttr : public ::testing::Test {
protected:
    qvtest::temp_dir tmp;
    qvctl_status st{};
    std::string root = tmp.path();

    void SetUp() override
    {
        for (const char *d : {"block", "block/sdq", "block/sdq/sdq3", "block/odd", "class", "class/block",
                              "class/block/nvme0n1p1", "devices", "devices/loop8", "devices/loop8/loop8p2"})
            ASSERT_EQ(::mkdir(tmp.file(d).c_str(), 0755), 0);
        tmp.write("block/sdq/size", "2097152\n");
        tmp.write("block/sdq/sdq3/start", "2048\n");
        tmp.write("block/odd/size", "none\n");
        tmp.write("devices/loop8/loop8p2/start", "24576\n");
        tmp.write("class/block/nvme0n1p1/start", "4096\n");
        ASSERT_EQ(::symlink("../devices/loop8", tmp.file("block/loop8").c_str()), 0);
        ASSERT_EQ(::symlink("../../devices/loop8/loop8p2", tmp.file("class/block/loop8p2").c_str()), 0);
    }
    int read(const std::string &name, const char *attr, uint64_t &out)
    {
        std::string dev = tmp.write(name, "");
        return qv::sysfs_block_attr_read_at(root.c_str(), dev.c_str(), attr, &out, &st);
    }
};

TEST_F(SysfsAttr, WholeDiskThenPartitionBelowItsDiskAndTextThatIsNoNumber)
{
    uint64_t v = 0;
    EXPECT_EQ(read("sdq", "size", v), 0);
    EXPECT_EQ(v, 2097152u);
    EXPECT_EQ(read("sdq3", "start", v), 0);
    EXPECT_EQ(v, 2048u);
    EXPECT_EQ(st.code, 0u);
    EXPECT_EQ(read("odd", "size", v), 0);
    EXPECT_EQ(v, 2048u) << "no number leaves the output";
}

TEST_F(SysfsAttr, FailuresNameWhatWasSought)
{
    uint64_t v = 5;
    EXPECT_EQ(read("mmcblk0p1", "size", v), ENOENT);
    EXPECT_EQ(std::string(st.message), "Could not find a field \"size\" for  device \"mmcblk0p1\" (" + root +
                                           "/block/mmcblk/mmcblk0p1/size): No such file or directory");
    EXPECT_EQ(read("sdq3", "size", v), ENOENT);
    EXPECT_EQ(std::string(st.message), "Could not find a field \"size\" for  device \"sdq3\" (" + root +
                                           "/block/sdq/sdq3/size): No such file or directory");
    EXPECT_EQ(read("4711", "size", v), 2);
    EXPECT_STREQ(st.message, "Could not determine a major number for device \"4711\"");
    EXPECT_EQ(sysfs_block_attr_read(tmp.file("4711").c_str(), "size", &v, nullptr), 2);

    std::string absent = tmp.file("absent");
    EXPECT_EQ(qv::sysfs_block_attr_read_at(root.c_str(), absent.c_str(), "size", &v, &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "Could not resolve path \"" + absent + "\"");
    EXPECT_EQ(v, 5u);
}

TEST_F(SysfsAttr, PartitionsWithDigitsInTheDiskNameFindTheirStart)
{
    uint64_t v = 0;
    EXPECT_EQ(read("loop8p2", "start", v), 0) << st.message;
    EXPECT_EQ(v, 24576u);
    auto start = [&](const char *name) { return qv::partition_start_sector_at(root.c_str(), tmp.write(name, "").c_str()); };
    EXPECT_EQ(start("loop8p2"), 24576u);
    EXPECT_EQ(start("nvme0n1p1"), 4096u);
    EXPECT_EQ(start("sdq3"), 2048u);
    EXPECT_EQ(start("sdq"), 0u);
    EXPECT_EQ(start("loop8"), 0u);
}

}  // namespace
