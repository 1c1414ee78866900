// SPDX-License-Identifier: GPL-2.0-or-later
// Files written on a mounted btrfs: the filesystem's own extent map, translated, must point at the
// file's bytes in the raw image.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../sim/fs_helpers.h"
#include "capability.h"
#include "loop_image.h"
#include "heap_block.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "unique_fd.h"

namespace {

// A btrfs made with `mkfs_args` on a loop device and mounted.
struct mounted_image : qvtest::loop_image {
    explicit mounted_image(const std::string &mkfs_args, std::uint64_t size = 1ull << 30)
        : loop_image({.size = size, .fs = "btrfs", .mkfs_options = mkfs_args})
    {
        EXPECT_TRUE(ok()) << error();
    }
    std::string loop() const { return ok() ? device() : ""; }
    std::string file(const char *name) const { return mount_point() + "/" + name; }
};

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (auto &b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

void expect_extents_hold_file(const std::string &mkfs_args)
{
    mounted_image fs(mkfs_args);
    ASSERT_FALSE(fs.loop().empty());
    const auto content = random_bytes(24 << 20, 7);
    {
        qv::unique_fd fd(open(fs.file("data").c_str(), O_WRONLY | O_CREAT, 0600));
        for (size_t done = 0; done < content.size(); done += 1 << 20)
            ASSERT_EQ(write(fd.get(), content.data() + done, 1 << 20), 1 << 20);
        ASSERT_EQ(fsync(fd.get()), 0);
    }
    auto block = simtest::fiemap_of(fs.file("data"));
    auto *map = reinterpret_cast<fiemap *>(block.data());
    ASSERT_GT(map->fm_mapped_extents, 0u);
    std::map<uint64_t, uint64_t> logical;  // by file offset: an extent's pieces after the first start elsewhere
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i)
        logical[map->fm_extents[i].fe_logical] = map->fm_extents[i].fe_physical;

    qvctl_status st{};
    struct fiemap *raw_map = nullptr;
    ASSERT_EQ(btrfs_map_translate(fs.loop().c_str(), map, &raw_map, &st), 0u) << st.message;
    qv::heap_ptr<struct fiemap> translated(raw_map);
    map = translated.get();
    qvtest::sh_ok("sync");
    qv::unique_fd raw(open(fs.loop().c_str(), O_RDONLY));
    uint64_t covered = 0;
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
        const fiemap_extent &e = map->fm_extents[i];
        ASSERT_EQ(e.fe_flags & (FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_UNKNOWN), 0u);
        if (auto was = logical.find(e.fe_logical); was != logical.end()) {
            EXPECT_NE(e.fe_physical, was->second) << "extent " << i << " was not moved by its chunk";
        }
        std::vector<uint8_t> disk(e.fe_length);
        ASSERT_EQ(pread(raw.get(), disk.data(), disk.size(), static_cast<off_t>(e.fe_physical)),
                  static_cast<ssize_t>(disk.size()));
        const size_t len = std::min<size_t>(e.fe_length, content.size() - e.fe_logical);
        EXPECT_TRUE(std::equal(disk.begin(), disk.begin() + static_cast<long>(len), content.begin() + static_cast<long>(e.fe_logical)))
            << "extent " << i << " at file offset " << e.fe_logical;
        covered += len;
    }
    EXPECT_EQ(covered, content.size());
}

}  // namespace

TEST(BtrfsMounted, SingleAndDupProfileExtentsHoldTheFile)
{
    QV_REQUIRE_ROOT_LOOP();
    for (const char *args : {"", "-m dup -d dup"}) {
        SCOPED_TRACE(args);
        expect_extents_hold_file(args);
    }
}

// Many 1 GiB data chunks and 4 KiB nodes: the chunk tree grows past one leaf, and the data chunks
// deep in it must translate as well as those near its start.
TEST(BtrfsMounted, MultiLeafChunkTreeTranslatesEveryChunk)
{
    QV_REQUIRE_ROOT_LOOP();
    mounted_image fs("-n 4096 -s 4096", 300ull << 30);
    ASSERT_FALSE(fs.loop().empty());
    constexpr int chunks = 120;
    const auto marker = random_bytes(4096, 11);
    {
        qv::unique_fd fd(open(fs.file("big").c_str(), O_WRONLY | O_CREAT, 0600));
        ASSERT_EQ(fallocate(fd.get(), 0, 0, off_t{chunks} << 30), 0);
        for (int i = 0; i < chunks; ++i)
            ASSERT_EQ(pwrite(fd.get(), marker.data(), marker.size(), (off_t{i} << 30) + 8192), 4096);
        ASSERT_EQ(fsync(fd.get()), 0);
    }
    qvtest::sh_ok("sync");
    qv::unique_fd raw(open(fs.loop().c_str(), O_RDONLY));
    std::vector<uint8_t> super(BTRFS_SUPER_READ_SIZE);
    ASSERT_EQ(pread(raw.get(), super.data(), super.size(), 65536), static_cast<ssize_t>(super.size()));
    ASSERT_GE(super[199], 1u) << "the chunk tree still fits one leaf";

    auto block = simtest::fiemap_of(fs.file("big"));
    auto *map = reinterpret_cast<fiemap *>(block.data());
    qvctl_status st{};
    struct fiemap *raw_map = nullptr;
    ASSERT_EQ(btrfs_map_translate(fs.loop().c_str(), map, &raw_map, &st), 0u) << st.message;
    qv::heap_ptr<struct fiemap> translated(raw_map);
    map = translated.get();
    int checked = 0;
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
        const fiemap_extent &e = map->fm_extents[i];
        if (e.fe_flags & FIEMAP_EXTENT_UNWRITTEN)
            continue;
        const uint64_t at = e.fe_physical + ((e.fe_logical & ((uint64_t{1} << 30) - 1)) == 0 ? 8192 : 0);
        std::vector<uint8_t> disk(4096);
        ASSERT_EQ(pread(raw.get(), disk.data(), disk.size(), static_cast<off_t>(at)), 4096);
        EXPECT_EQ(disk, marker) << "extent at file offset " << e.fe_logical;
        ++checked;
    }
    EXPECT_GE(checked, chunks);
}
