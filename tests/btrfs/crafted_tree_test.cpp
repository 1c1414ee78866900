// SPDX-License-Identifier: GPL-2.0-or-later
// Chunk trees built by hand whose walks would never end in practice: every pointer of a node naming
// one child, or more distinct nodes than the device has room for.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "heap_block.h"
#include "qvctl_internal.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace {

constexpr uint32_t nodesize = 16384;
constexpr uint64_t device_size = 4 << 20, root_at = 1 << 20;
constexpr uint32_t pointers = (nodesize - 101) / 33;

void put(int fd, uint64_t at, const std::vector<uint8_t> &bytes)
{
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)), static_cast<ssize_t>(bytes.size()));
}

// A device of devid 1 whose one system chunk maps its first 4 MiB onto themselves, and whose chunk
// root of `level` lies at 1 MiB.
void write_super(int fd, uint8_t level)
{
    std::vector<uint8_t> sb(4096);
    qv::store_le<uint64_t>(sb, 48, 65536);
    const char magic[] = "_BHRfS_M";
    std::copy(magic, magic + 8, sb.begin() + 64);
    qv::store_le<uint64_t>(sb, 88, root_at);
    qv::store_le<uint32_t>(sb, 148, nodesize);
    qv::store_le<uint32_t>(sb, 152, nodesize);
    qv::store_le<uint32_t>(sb, 160, 17 + 80);
    sb[199] = level;
    qv::store_le<uint64_t>(sb, 201, 1);
    sb[811 + 8] = 228;                                 // key: a chunk item at logical 0
    qv::store_le<uint64_t>(sb, 811 + 17, device_size);  // length
    qv::store_le<uint64_t>(sb, 811 + 17 + 24, 2);       // system
    qv::store_le<uint16_t>(sb, 811 + 17 + 44, 1);
    qv::store_le<uint64_t>(sb, 811 + 17 + 48, 1);  // devid; the stripe's offset stays 0
    put(fd, 65536, sb);
}

// A node of `level` at `at` whose pointers name the children `child(i)`.
template <typename F>
void write_node(int fd, uint64_t at, uint8_t level, F child)
{
    std::vector<uint8_t> node(nodesize);
    qv::store_le<uint32_t>(node, 96, level ? pointers : 0);
    node[100] = level;
    for (uint32_t i = 0; level && i < pointers; ++i)
        qv::store_le<uint64_t>(node, 101 + 33 * i + 17, child(i));
    put(fd, at, node);
}

}  // namespace

TEST(BtrfsCraftedTree, RepeatedOrCountlessNodesFailAsCorrupt)
{
    qvtest::temp_dir dir;
    struct shape {
        const char *what;
        uint8_t levels;
        bool one_child;
        std::string message;
    } shapes[] = {
        // About 120 million reads without a bound; the deepest repeat is met first.
        {"one child under every pointer", 3, true,
         "Btrfs chunk tree corrupted: node address named twice: " + std::to_string(root_at + 3 * nodesize)},
        // Distinct leaves past the device's end read as empty ones: only the count stops them.
        {"more leaves than the device holds", 1, false, "Btrfs chunk tree corrupted: more nodes read than the device holds: "},
    };
    for (const shape &s : shapes) {
        SCOPED_TRACE(s.what);
        const std::string path = dir.file(std::to_string(s.levels));
        {
            qv::unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
            ASSERT_EQ(ftruncate(fd.get(), device_size), 0);
            write_super(fd.get(), s.levels);
            for (uint8_t l = s.levels; l > 0; --l) {
                const uint64_t at = root_at + nodesize * static_cast<uint64_t>(s.levels - l), below = at + nodesize;
                write_node(fd.get(), at, l, [&](uint32_t i) { return s.one_child ? below : (8 << 20) + i * uint64_t{nodesize}; });
            }
            if (s.one_child)
                write_node(fd.get(), root_at + nodesize * uint64_t{s.levels}, 0, [](uint32_t) { return 0; });
        }
        std::vector<uint8_t> block(sizeof(fiemap) + sizeof(fiemap_extent));
        auto *map = reinterpret_cast<fiemap *>(block.data());
        map->fm_mapped_extents = 1;
        map->fm_extents[0].fe_physical = 8192;
        qvctl_status st{};
        struct fiemap *out = nullptr;
        EXPECT_EQ(btrfs_map_translate(path.c_str(), map, &out, &st), 9u) << st.message;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(std::string(st.message).rfind(s.message, 0), 0u) << st.message;
        EXPECT_EQ(map->fm_extents[0].fe_physical, 8192u);
    }
}
