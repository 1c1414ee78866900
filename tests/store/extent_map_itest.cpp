// SPDX-License-Identifier: GPL-2.0-or-later
// Extent maps of real files on loop devices: FIEMAP and FIBMAP agree, the filesystem-block map reads
// back the file from the device, holes and empty files, the refusals, and the automatic order over
// a filesystem without FIEMAP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include "../sim/fs_helpers.h"
#include "../sim/sim_helpers.h"
#include "capability.h"
#include "loop_image.h"
#include "mounted_fs.h"
#include "qvctl_internal.h"
#include "qvsim.h"

namespace {

// The FIEMAP step as a filesystem without FIEMAP answers it.
struct fiemap *fiemap_unsupported(const char *, qvctl_status *st)
{
    qvctl_status_set(st, EOPNOTSUPP, "FS_IOC_FIEMAP ioctl failed");
    return nullptr;
}

using map_ptr = std::unique_ptr<struct fiemap, decltype(&std::free)>;

map_ptr own(struct fiemap *m) { return map_ptr(m, &std::free); }

using simtest::read_at;

// `len` bytes of `fill` at `at`, synced.
void write_at(const std::string &path, off_t at, char fill, size_t len = 4096)
{
    ASSERT_TRUE(simtest::write_file(path, std::string(len, fill), at)) << path;
}

TEST(ExtentMaps, MethodsAgreeAndTheBlockMapReadsBackTheFile)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.fs = "xfs"});
    ASSERT_TRUE(img.ok()) << img.error();
    const std::string file = img.mount_point() + "/frag", pad = img.mount_point() + "/pad";
    // Written from the end, each block lands after the one before it on the disk.
    for (int b = 2; b >= 0; --b) {
        write_at(file, b * 4096, char('a' + b));
        write_at(pad, (2 - b) * 65536, 'p', 65536);
    }
    qvctl_status st{};
    auto fiemap = own(file_map_fiemap(file.c_str(), &st));
    auto fibmap = own(file_map_fibmap(file.c_str(), &st));
    ASSERT_TRUE(fiemap && fibmap) << st.message;
    ASSERT_EQ(fiemap->fm_mapped_extents, fibmap->fm_mapped_extents);
    for (uint32_t i = 0; i < fiemap->fm_mapped_extents; ++i) {
        EXPECT_EQ(fiemap->fm_extents[i].fe_physical, fibmap->fm_extents[i].fe_physical) << i;
        EXPECT_EQ(fiemap->fm_extents[i].fe_length, fibmap->fm_extents[i].fe_length) << i;
    }
    EXPECT_FALSE(file_map_verify(fiemap.get(), file.c_str(), &st)) << st.message;

    fs_block_map *blocks = qvctl_fs_block_map_get(img.device().c_str(), file.c_str(), &st);
    ASSERT_NE(blocks, nullptr) << st.message;
    EXPECT_EQ(blocks->count, 3u);
    std::string on_disk;
    for (uint64_t i = 0; i < blocks->count; ++i)
        on_disk += read_at(img.device(), blocks->extents[i].first * 4096, blocks->extents[i].count * 4096);
    qvctl_fs_block_map_free(blocks);
    EXPECT_TRUE(on_disk == std::string(4096, 'a') + std::string(4096, 'b') + std::string(4096, 'c'));
}

TEST(ExtentMaps, HolesEmptyFilesAndRefusals)
{
    QV_REQUIRE_ROOT_LOOP();
    qvtest::loop_image img({.fs = "ext4"});
    ASSERT_TRUE(img.ok()) << img.error();
    const std::string holed = img.mount_point() + "/holed", empty = img.mount_point() + "/empty";
    write_at(holed, 0, 'h', 1024);
    write_at(holed, 15 * 1024, 'h', 1024);  // 16 KiB with 14 KiB of hole between

    qvctl_status st{};
    EXPECT_EQ(file_map_fibmap(holed.c_str(), &st), nullptr);
    EXPECT_EQ(st.code, 29u);
    EXPECT_STREQ(st.message, "FIBMAP returned address 0. Maybe file is not allocated.");
    auto map = own(file_map_fiemap(holed.c_str(), &st));
    ASSERT_TRUE(map) << st.message;
    EXPECT_TRUE(file_map_verify(map.get(), holed.c_str(), &st));
    EXPECT_EQ(st.code, 22u);
    EXPECT_EQ(std::string(st.message),
              "ERROR: " + holed + ": fiemap size and file size are mismatched (2048 vs 16384)");

    write_at(empty, 0, 'e', 0);
    auto none = own(file_map_fiemap(empty.c_str(), &st));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->fm_mapped_extents, 0u);
    EXPECT_FALSE(file_map_verify(none.get(), empty.c_str(), &st));
    auto zero = own(file_map_fibmap(empty.c_str(), &st));
    ASSERT_TRUE(zero);
    ASSERT_EQ(zero->fm_mapped_extents, 1u);
    EXPECT_EQ(zero->fm_extents[0].fe_length, 0u);

    store_map_job job{};
    job.device = img.device().c_str();
    std::snprintf(job.path, sizeof job.path, "%s", holed.c_str());
    job.method = 4;
    EXPECT_EQ(file_map_get(&job, &st), nullptr);
    EXPECT_EQ(st.code, 22u);
    EXPECT_STREQ(st.message, "ERROR: misusage of file_map_get");
    EXPECT_EQ(file_map_fiemap((img.mount_point() + "/missing").c_str(), &st), nullptr);
    EXPECT_EQ(std::string(st.message), "ERROR: Failed to open " + img.mount_point() + "/missing");
}

// Without FIEMAP the automatic order meets the hole under FIBMAP and goes on to marking, whose map
// covers the whole file: the marking writes every sector, holes included.
TEST(ExtentMaps, AutomaticOrderFallsBackToMarkingOverAHole)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    storetest::mounted_fs fs(dev, "mkfs.ext4 -q -F -b 4096");
    ASSERT_TRUE(fs.ok()) << fs.error();
    const std::string holed = fs.mount_point() + "/holed";
    write_at(holed, 0, 'h');
    write_at(holed, 12 * 4096, 'h');
    ASSERT_EQ(simtest::attach(dev).code, 0u);

    store_map_job job{};
    job.device = dev.c_str();
    std::snprintf(job.path, sizeof job.path, "%s", holed.c_str());
    job.fiemap = fiemap_unsupported;
    qvctl_status st{};
    auto map = own(file_map_get(&job, &st));
    ASSERT_TRUE(map) << st.message;
    EXPECT_EQ(st.code, 0u) << st.message;
    EXPECT_FALSE(file_map_verify(map.get(), holed.c_str(), &st)) << st.message;
    std::string on_disk;
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i)
        on_disk += read_at(dev, map->fm_extents[i].fe_physical, map->fm_extents[i].fe_length);
    // The module reports the marked sectors in disk order, which need not be the file's.
    auto blocks_of = [](const std::string &bytes) {
        std::multiset<std::string> out;
        for (std::size_t at = 0; at < bytes.size(); at += 4096)
            out.insert(bytes.substr(at, 4096));
        return out;
    };
    const std::string content = read_at(holed, 0, 13 * 4096);
    EXPECT_EQ(on_disk.size(), content.size());
    EXPECT_TRUE(blocks_of(on_disk) == blocks_of(content)) << "the mapped sectors differ from the file";
}

}  // namespace
