// SPDX-License-Identifier: GPL-2.0-or-later
// Files written on a mounted btrfs: the filesystem's own extent map, translated, must point at the
// file's bytes on the raw device. The kernel's trees pass the readers' checks.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../sim/fs_helpers.h"
#include "btrfs/format/layout.h"
#include "capability.h"
#include "heap_block.h"
#include "loop_image.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "unique_fd.h"

// Marked blocks `stride` apart in a preallocated file; with 120 chunks of 1 GiB and 4 KiB
// nodes the chunk tree grows past one leaf, and chunks deep in it must translate as well.
TEST(BtrfsMounted, ExtentsOfEachProfileAndOfAManyLeafChunkTreeHoldTheFile)
{
    QV_REQUIRE_ROOT_LOOP();
    const struct {
        const char *mkfs;
        uint64_t size, stride;
        int blocks;
    } cases[] = {{"", 1ull << 30, 1 << 20, 24}, {"-m dup -d dup", 1ull << 30, 1 << 20, 24},
                 {"-n 4096 -s 4096", 300ull << 30, 1ull << 30, 120}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mkfs);
        qvtest::loop_image fs({.size = c.size, .fs = "btrfs", .mkfs_options = c.mkfs});
        ASSERT_TRUE(fs.ok()) << fs.error();
        const std::string file = fs.mount_point() + "/data";
        const auto marker = [](int i) { return std::vector<uint8_t>(4096, static_cast<uint8_t>(i + 1)); };
        {
            qv::unique_fd fd(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
            ASSERT_EQ(fallocate(fd.get(), 0, 0, static_cast<off_t>(c.stride * c.blocks)), 0);
            for (int i = 0; i < c.blocks; ++i)
                ASSERT_EQ(pwrite(fd.get(), marker(i).data(), 4096, static_cast<off_t>(c.stride * i + 8192)), 4096);
            ASSERT_EQ(fsync(fd.get()), 0);
        }
        qvtest::sh_ok("sync");
        qv::unique_fd raw(open(fs.device().c_str(), O_RDONLY | O_CLOEXEC));
        std::vector<uint8_t> sb(BTRFS_SUPER_READ_SIZE);
        ASSERT_EQ(pread(raw.get(), sb.data(), sb.size(), 65536), static_cast<ssize_t>(sb.size()));
        EXPECT_TRUE(c.blocks < 120 || qv::btrfs::super::chunk_root_level(sb) >= 1) << "the chunk tree fits one leaf";
        auto map_block = simtest::fiemap_of(file);
        qvctl_status st{};
        struct fiemap *raw_map = nullptr;
        ASSERT_EQ(btrfs_map_translate(fs.device().c_str(), reinterpret_cast<fiemap *>(map_block.data()), &raw_map, &st), 0)
            << st.message;
        qv::heap_ptr<struct fiemap> map(raw_map);
        int found = 0;
        for (int i = 0; i < c.blocks; ++i) {
            const uint64_t at = c.stride * i + 8192;
            for (uint32_t k = 0; k < map->fm_mapped_extents; ++k) {
                const fiemap_extent &e = map->fm_extents[k];
                if (at < e.fe_logical || at - e.fe_logical >= e.fe_length)
                    continue;
                std::vector<uint8_t> disk(4096);
                ASSERT_EQ(pread(raw.get(), disk.data(), 4096, static_cast<off_t>(e.fe_physical + at - e.fe_logical)), 4096);
                EXPECT_EQ(disk, marker(i)) << "block at file offset " << at;
                ++found;
            }
        }
        EXPECT_EQ(found, c.blocks);
    }
}
