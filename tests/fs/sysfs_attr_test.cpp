// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>

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

TEST_F(SysfsAttr, AttributesOfDisksAndPartitionsAndWhatFailsIsNamed)
{
    uint64_t v = 5;
    for (auto [name, attr, value] : {std::tuple{"sdq", "size", 2097152u}, {"sdq3", "start", 2048u},
                                     {"odd", "size", 2048u},  // no number leaves the output
                                     {"loop8p2", "start", 24576u}}) {
        EXPECT_EQ(read(name, attr, v), 0) << name << st.message;
        EXPECT_EQ(v, value) << name;
    }
    EXPECT_EQ(read("sdq3", "size", v), ENOENT);
    EXPECT_EQ(std::string(st.message), "Could not find a field \"size\" for  device \"sdq3\" (" + root +
                                           "/block/sdq/sdq3/size): No such file or directory");
    EXPECT_EQ(read("4711", "size", v), 2);
    EXPECT_STREQ(st.message, "Could not determine a major number for device \"4711\"");
    std::string absent = tmp.file("absent");
    EXPECT_EQ(qv::sysfs_block_attr_read_at(root.c_str(), absent.c_str(), "size", &v, &st), ENOENT);
    EXPECT_EQ(v, 24576u) << "failures leave the output";
    // Partitions with digits in the disk name find their start.
    for (auto [name, start] : {std::pair{"loop8p2", 24576u}, {"nvme0n1p1", 4096u}, {"sdq3", 2048u}, {"sdq", 0u},
                               {"loop8", 0u}})
        EXPECT_EQ(qv::partition_start_sector_at(root.c_str(), tmp.write(name, "").c_str()), start) << name;
}

}  // namespace
