// SPDX-License-Identifier: GPL-2.0-or-later
// Translation over images written by mkfs.btrfs, and over damaged copies of them.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "heap_block.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "unique_fd.h"

namespace {

constexpr uint64_t super_at = 65536;

std::string scratch;

struct map_owner {
    chunk_map root = nullptr;
    ~map_owner() { chunk_map_free(&root); }
};

std::vector<uint8_t> read_at(const std::string &path, uint64_t offset, size_t n)
{
    std::vector<uint8_t> buf(n);
    qv::unique_fd fd(open(path.c_str(), O_RDONLY));
    EXPECT_EQ(pread(fd.get(), buf.data(), n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
    return buf;
}

// Writes the low `width` bytes of `value`, little-endian as on disk.
void poke(const std::string &path, uint64_t offset, uint64_t value, int width)
{
    uint8_t bytes[8];
    qv::store_le<uint64_t>(qv::mut_bytes(bytes, 8), 0, value);
    qv::unique_fd fd(open(path.c_str(), O_WRONLY));
    ASSERT_EQ(pwrite(fd.get(), bytes, width, static_cast<off_t>(offset)), width);
}

// The device offset of a logical address by the system chunks alone (enough for the chunk root).
uint64_t by_system_chunks(const std::string &path, uint64_t logical)
{
    qv::unique_fd fd(open(path.c_str(), O_RDONLY));
    uint8_t super[BTRFS_SUPER_READ_SIZE];
    qvctl_status st{};
    EXPECT_EQ(btrfs_super_read(fd.get(), super, &st), 0u) << st.message;
    map_owner m;
    EXPECT_EQ(btrfs_sys_chunks_walk(super, &m.root, chunk_map_insert, &st), 0u) << st.message;
    return chunk_map_translate(&m.root, logical);
}

uint32_t translate(const std::string &path, std::vector<uint64_t> &addresses, qvctl_status &st)
{
    std::vector<uint8_t> block(sizeof(fiemap) + addresses.size() * sizeof(fiemap_extent));
    auto *map = reinterpret_cast<fiemap *>(block.data());
    map->fm_mapped_extents = static_cast<uint32_t>(addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i) {
        map->fm_extents[i].fe_physical = addresses[i];
        map->fm_extents[i].fe_length = 4096;
    }
    struct fiemap *raw = nullptr;
    uint32_t r = btrfs_map_translate(path.c_str(), map, &raw, &st);
    qv::heap_ptr<struct fiemap> out(raw);
    if (r != 0)
        return r;
    // No extent of one block crosses a chunk's end: one piece each.
    EXPECT_EQ(out->fm_mapped_extents, addresses.size());
    for (size_t i = 0; i < addresses.size() && i < out->fm_mapped_extents; ++i) {
        addresses[i] = out->fm_extents[i].fe_physical;
        EXPECT_EQ(out->fm_extents[i].fe_length, 4096u);
    }
    return r;
}

class BtrfsImage : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (qvtest::sh("command -v mkfs.btrfs").status != 0)
            return;
        char dir[] = "/tmp/qv-btrfs-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        scratch = dir;
        for (const char *args : {"single:", "dup:-m dup -d dup", "small:-n 4096 -s 4096"}) {
            std::string name(args, std::strchr(args, ':'));
            qvtest::sh_ok("truncate -s 256M " + scratch + "/" + name + " && mkfs.btrfs -q -f " +
                          std::string(std::strchr(args, ':') + 1) + " " + scratch + "/" + name);
        }
    }
    static void TearDownTestSuite()
    {
        if (!scratch.empty())
            qvtest::sh("rm -rf " + scratch);
    }
    void SetUp() override
    {
        if (scratch.empty())
            GTEST_SKIP() << "skipped: mkfs.btrfs is not installed";
    }
    std::string image(const char *name) const { return scratch + "/" + name; }
    std::string damaged(const char *name) const
    {
        std::string copy = scratch + "/damaged-" + name;
        qvtest::sh_ok("cp --sparse=always " + image(name) + " " + copy);
        return copy;
    }
    // Every tree block records its own logical address at header offset 48: the translated address
    // of a tree root must hold a block naming that address.
    void expect_tree_blocks_found(const std::string &path)
    {
        const auto sb = read_at(path, super_at, BTRFS_SUPER_READ_SIZE);
        std::vector<uint64_t> roots = {qv::load_le<uint64_t>(sb, 80), qv::load_le<uint64_t>(sb, 88)};
        std::vector<uint64_t> physical = roots;
        qvctl_status st{};
        ASSERT_EQ(translate(path, physical, st), 0u) << st.message;
        for (size_t i = 0; i < roots.size(); ++i)
            EXPECT_EQ(qv::load_le<uint64_t>(read_at(path, physical[i], 4096), 48), roots[i]) << path << " root " << i;
    }
};

}  // namespace

TEST_F(BtrfsImage, TranslatesTreeRootsOfEachProfile)
{
    expect_tree_blocks_found(image("single"));
    expect_tree_blocks_found(image("dup"));
    expect_tree_blocks_found(image("small"));
    const auto sb = read_at(image("dup"), super_at, BTRFS_SUPER_READ_SIZE);
    EXPECT_EQ(qv::load_le<uint16_t>(sb, 811 + 17 + 44), 2u) << "the dup system chunk has two stripes";
    EXPECT_EQ(qv::load_le<uint32_t>(sb, 160), 129u);  // one key and a two-stripe chunk item
}

// Unmapped addresses (and an empty map) stay as they are; unopenable or unreadable devices and a
// null map are refused.
TEST_F(BtrfsImage, UnmappedAddressesStayAndBadDevicesAreRefused)
{
    std::vector<uint64_t> none;
    qvctl_status st{};
    EXPECT_EQ(translate(image("single"), none, st), 0u) << st.message;
    std::vector<uint64_t> outside = {4096, ~uint64_t{0}};
    EXPECT_EQ(translate(image("single"), outside, st), 0u) << st.message;
    EXPECT_EQ(outside, (std::vector<uint64_t>{4096, ~uint64_t{0}}));

    std::vector<uint64_t> a = {1};
    EXPECT_EQ(translate(scratch + "/absent", a, st), 2u);
    EXPECT_EQ(std::string(st.message), "Failed to open " + scratch + "/absent: No such file or directory");
    EXPECT_EQ(btrfs_map_translate(image("single").c_str(), nullptr, nullptr, nullptr), 22u);
    EXPECT_EQ(translate(scratch, a, st), 21u);  // opens, but every read fails
    EXPECT_STREQ(st.message, "Failed to read Btrfs device from address 65536: Is a directory");
    EXPECT_EQ(a[0], 1u);
}

struct damage {
    const char *what;
    uint64_t offset;  // from the superblock, or from the chunk root's node when `in_root`
    bool in_root;
    uint64_t value;
    int width;
    const char *message;  // null: only the code is checked
};

TEST_F(BtrfsImage, DamagedCopiesFailWithCorruptDataAndKeepTheMap)
{
    const damage cases[] = {
        {"magic", 64, false, 0x4d5f53665248425eull, 8, "Btrfs superblock appears to be corrupted"},
        {"bytenr", 48, false, 131072, 8, "Btrfs superblock appears to be corrupted"},
        {"key type in system chunk array", 811 + 8, false, 216, 1, "ERROR: Unexpected data in superblock"},
        {"zero stripes", 811 + 17 + 44, false, 0, 2, nullptr},
        {"array size past the array", 160, false, 4000, 4, nullptr},
        {"array size cutting a chunk", 160, false, 17 + 40, 4, "ERROR: Unexpected data in superblock"},
        {"leaf size out of range", 152, false, 0xfffffff0u, 4, nullptr},
        {"root item count past the node", 96, true, 0xffffffffu, 4, nullptr},
        {"root item count just past the node", 96, true, (16384 - 101) / 25 + 1, 4, nullptr},
    };
    for (const damage &d : cases) {
        SCOPED_TRACE(d.what);
        const std::string copy = damaged("single");
        uint64_t at = d.offset + super_at;
        if (d.in_root) {
            const auto sb = read_at(copy, super_at, BTRFS_SUPER_READ_SIZE);
            at = by_system_chunks(copy, qv::load_le<uint64_t>(sb, 88)) + d.offset;
        }
        poke(copy, at, d.value, d.width);
        std::vector<uint64_t> addresses = {22020096, 30408704};
        qvctl_status st{};
        EXPECT_EQ(translate(copy, addresses, st), 9u) << st.message;
        if (d.message) {
            EXPECT_STREQ(st.message, d.message);
        }
        EXPECT_EQ(addresses, (std::vector<uint64_t>{22020096, 30408704}));
    }
}

// Chunk item offsets outside the leaf, and a root of level 2 whose one pointer leads back to itself.
TEST_F(BtrfsImage, DamagedChunkTreesFail)
{
    for (bool loop : {false, true}) {
        const std::string copy = damaged("single");
        const auto sb = read_at(copy, super_at, BTRFS_SUPER_READ_SIZE);
        const uint64_t logical = qv::load_le<uint64_t>(sb, 88);
        const uint64_t root = by_system_chunks(copy, logical);
        const auto node = read_at(copy, root, 16384);
        ASSERT_EQ(node[100], 0u) << "a fresh filesystem's chunk root is a leaf";
        if (loop) {
            poke(copy, root + 100, 2, 1);
            poke(copy, root + 96, 1, 4);
            poke(copy, root + 101 + 17, logical, 8);
        } else {
            for (uint32_t i = 0; i < qv::load_le<uint32_t>(node, 96); ++i)
                poke(copy, root + 101 + 25 * i + 17, 16384 - 101 - 79, 4);  // one byte short of a chunk
        }
        std::vector<uint64_t> addresses = {30408704};
        qvctl_status st{};
        EXPECT_EQ(translate(copy, addresses, st), 9u) << loop << st.message;
        EXPECT_EQ(addresses[0], 30408704u);
    }
}
