// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>

#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

// A sysfs tree of its own, with device names that are files of the fixture. As in the kernel's,
// /block and /class/block hold links into /devices; loop8's partition is found only through its
// class entry, nvme0n1p1 has nothing but a class entry. Digits in a disk name must not cut it.
TEST(SysfsAttr, AttributesAndStartsOfDisksAndPartitions)
{
    qvtest::temp_dir tmp;
    for (const char *d : {"block", "block/sdq", "block/sdq/sdq3", "class", "class/block", "class/block/nvme0n1p1",
                          "devices", "devices/loop8", "devices/loop8/loop8p2"})
        ASSERT_EQ(::mkdir(tmp.file(d).c_str(), 0755), 0);
    tmp.write("block/sdq/size", "2097152\n");
    tmp.write("block/sdq/sdq3/start", "2048\n");
    tmp.write("devices/loop8/loop8p2/start", "24576\n");
    tmp.write("class/block/nvme0n1p1/start", "4096\n");
    ASSERT_EQ(::symlink("../devices/loop8", tmp.file("block/loop8").c_str()), 0);
    ASSERT_EQ(::symlink("../../devices/loop8/loop8p2", tmp.file("class/block/loop8p2").c_str()), 0);
    const std::string root = tmp.path();
    // code -1: only the start is asked; a failure leaves the output.
    for (auto [name, attr, code, value, start] :
         {std::tuple{"sdq", "size", 0, 2097152u, 0u}, {"sdq3", "start", 0, 2048u, 2048u}, {"sdq3", "size", ENOENT, 5u, 2048u},
          {"loop8p2", "start", 0, 24576u, 24576u}, {"nvme0n1p1", "", -1, 0u, 4096u}, {"loop8", "", -1, 0u, 0u},
          {"4711", "size", 2, 5u, 0u}}) {
        const std::string dev = tmp.write(name, "");
        qvctl_status st{};
        uint64_t v = 5;
        if (code >= 0) {
            EXPECT_EQ(qv::sysfs_block_attr_read_at(root.c_str(), dev.c_str(), attr, &v, &st), code) << name << st.message;
            EXPECT_EQ(v, value) << name;
        }
        EXPECT_EQ(qv::partition_start_sector_at(root.c_str(), dev.c_str()), start) << name;
    }
}

}  // namespace
