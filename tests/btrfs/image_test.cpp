// SPDX-License-Identifier: GPL-2.0-or-later
// Translation over images written by mkfs.btrfs, over damaged copies of them, and over chunk trees
// built by hand whose walks would never end in practice.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "btrfs/format/layout.h"
#include "crc32c.h"
#include "heap_block.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace {

namespace fmt = qv::btrfs;
namespace s = fmt::super;
namespace n = fmt::node;
using block = std::vector<uint8_t>;
constexpr uint64_t super_at = s::device_offset, nodesize = 16384;

block read_at(const std::string &path, uint64_t at, size_t size)
{
    block b(size);
    qv::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(pread(fd.get(), b.data(), size, static_cast<off_t>(at)), static_cast<ssize_t>(size));
    return b;
}

// With `seal`, the crc32c in a superblock's or node's first bytes is made to cover the rest again.
void write_at(const std::string &path, uint64_t at, block b, bool seal = true)
{
    if (seal)
        n::csum.put(b, qv::crc32c(qv::bytes(b).subspan(n::checksummed_from)));
    qv::unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(pwrite(fd.get(), b.data(), b.size(), static_cast<off_t>(at)), static_cast<ssize_t>(b.size()));
}

// The code; on success each address of one block is replaced by its device offset. A failure
// leaves the map as it was.
int translate(const std::string &path, std::vector<uint64_t> &addresses, qvctl_status &st)
{
    block map_block(sizeof(fiemap) + addresses.size() * sizeof(fiemap_extent));
    auto *map = reinterpret_cast<fiemap *>(map_block.data());
    map->fm_mapped_extents = static_cast<uint32_t>(addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i)
        map->fm_extents[i] = {0, addresses[i], 4096, {}, 0, {}};
    const block before = map_block;
    struct fiemap *raw = nullptr;
    const int r = btrfs_map_translate(path.c_str(), map, &raw, &st);
    qv::heap_ptr<struct fiemap> out(raw);
    EXPECT_EQ(map_block, before);
    for (size_t i = 0; r == 0 && i < addresses.size(); ++i)
        addresses[i] = out->fm_extents[i].fe_physical;
    return r;
}

// mkfs.btrfs images, made once; "muuid" names its first fsid its metadata uuid, which the tree
// blocks keep.
std::string image(const char *name)
{
    static qvtest::temp_dir dir;
    static const bool made = [] {
        for (const auto &[img, make] : {std::pair{"single", ""}, {"dup", "-m dup -d dup"}, {"small", "-n 4096 -s 4096"},
                                        {"xxhash", "--csum xxhash"}, {"muuid", ""}})
            qvtest::sh_ok("truncate -s 256M " + dir.file(img) + " && mkfs.btrfs -q -f " + make + " " + dir.file(img));
        return qvtest::sh("btrfstune -m " + dir.file("muuid")).status == 0;
    }();
    return made ? dir.file(name) : dir.path();
}

}  // namespace

// Every tree block records its own logical address: a tree root's translated address must hold
// the block naming it. Unmapped addresses stay; unopenable or unreadable devices are refused.
TEST(BtrfsImage, TranslatesTreeRootsOfEachKindAndRefusesBadDevices)
{
    for (const char *name : {"single", "dup", "small", "xxhash", "muuid"}) {
        const block sb = read_at(image(name), super_at, BTRFS_SUPER_READ_SIZE);
        std::vector<uint64_t> roots = {s::root(sb), s::chunk_root(sb), 4096, ~0ull}, at = roots;
        qvctl_status st{};
        ASSERT_EQ(translate(image(name), at, st), 0) << name << ": " << st.message;
        for (size_t i = 0; i < 2; ++i)
            EXPECT_EQ(n::bytenr(read_at(image(name), at[i], 4096)), roots[i]) << name << " root " << i;
        EXPECT_EQ(std::vector(at.begin() + 2, at.end()), std::vector(roots.begin() + 2, roots.end())) << name;
    }
    std::vector<uint64_t> a = {1};
    qvctl_status st{};
    EXPECT_EQ(translate(image("absent"), a, st), 2);
    EXPECT_EQ(st.message, "Failed to open " + image("absent") + ": No such file or directory");
    EXPECT_EQ(btrfs_map_translate(image("single").c_str(), nullptr, nullptr, nullptr), 22);
    EXPECT_EQ(translate("/", a, st), 21);  // opens, but every read fails
    EXPECT_STREQ(st.message, "Failed to read Btrfs device from address 65536: Is a directory");
}

// The low `width` bytes of `value` written at `offset` of a copy's superblock or chunk root (then
// sealed again when `seal`): refused with 9 and the message, @ standing for the root's address, or
// accepted where it is empty.
TEST(BtrfsImage, DamagedCopiesFailWithCorruptData)
{
    constexpr bool root = true, seal = true;
    constexpr size_t array = s::sys_chunk_array_offset, chunk = array + fmt::key::size;
    const struct {
        const char *what, *image;
        bool in_root, seal;
        size_t offset;
        uint64_t value;
        size_t width;
        const char *message;  // null: only the code is checked
    } cases[] = {
        {"magic", "single", !root, !seal, s::magic.offset, 0, 1, "Btrfs superblock appears to be corrupted"},
        {"bytenr", "single", !root, !seal, s::bytenr.offset, 131072, 8, "Btrfs superblock appears to be corrupted"},
        {"checksum", "single", !root, !seal, 300, 0xff, 1, "Btrfs superblock failed its check: checksum"},
        {"checksum type", "single", !root, seal, s::csum_type.offset, 9, 2, "Btrfs superblock failed its check: checksum type 9"},
        {"key type", "single", !root, seal, array + fmt::key::type.offset, 216, 1, "ERROR: Unexpected data in superblock"},
        {"zero stripes", "single", !root, seal, chunk + fmt::chunk::num_stripes.offset, 0, 2, nullptr},
        {"array size", "single", !root, seal, s::sys_chunk_array_size.offset, 4000, 4,
         "Btrfs system chunk array size 4000 exceeds its 2048 bytes"},
        {"array size cutting a chunk", "single", !root, seal, s::sys_chunk_array_size.offset, 17 + 40, 4,
         "ERROR: Unexpected data in superblock"},
        {"leaf size", "single", !root, seal, s::leafsize.offset, 0xfffffff0u, 4, "Btrfs node size 4294967280 at address @ is out of range"},
        {"devid", "single", !root, seal, s::devid.offset, 2, 8,
         "ERROR: chunk tree: btrfs address @ lies in a chunk with no stripe on this device"},
        {"root level", "single", !root, seal, s::chunk_root_level.offset, 1, 1, "Btrfs node at @ failed its check: level 0"},
        {"metadata uuid", "muuid", !root, seal, s::metadata_uuid.offset, 0, 8, "Btrfs node at @ failed its check: fsid"},
        {"node bytenr", "single", root, !seal, n::bytenr.offset, 1, 8, "Btrfs node at @ failed its check: bytenr 1"},
        {"node fsid", "single", root, !seal, n::fsid.offset, 0, 8, "Btrfs node at @ failed its check: fsid"},
        {"node level", "single", root, !seal, n::level.offset, 8, 1, "Btrfs node at @ failed its check: level 8"},
        {"node checksum", "single", root, !seal, nodesize - 1, 0xff, 1, "Btrfs node at @ failed its check: checksum"},
        {"xxhash64 unchecked", "xxhash", root, !seal, nodesize - 1, 0xff, 1, ""},
        {"item count", "single", root, seal, n::nritems.offset, (nodesize - 101) / 25 + 1, 4,
         "Btrfs chunk tree corrupted: leaf item count exceeds the leaf: 652"},
        // Item 0 is the device's, 1 the first chunk's.
        {"chunk item outside the leaf", "single", root, seal, n::item_at(1) + fmt::item::offset.offset, nodesize - 101 - 79, 4, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string copy = image(c.image) + "-damaged";
        qvtest::sh_ok("cp --sparse=always " + image(c.image) + " " + copy);
        const uint64_t chunk_root = s::chunk_root(read_at(copy, super_at, BTRFS_SUPER_READ_SIZE));
        std::vector<uint64_t> at = {c.in_root ? chunk_root : super_at}, addresses = {22020096, 30408704};
        qvctl_status st{};
        ASSERT_EQ(c.in_root ? translate(copy, at, st) : 0, 0);
        block b = read_at(copy, at[0], c.in_root ? nodesize : BTRFS_SUPER_READ_SIZE);
        for (size_t i = 0; i < c.width; ++i)
            b[c.offset + i] = static_cast<uint8_t>(c.value >> (8 * i));
        write_at(copy, at[0], b, c.seal);
        std::string message = c.message ? c.message : "-";
        if (const size_t i = message.find('@'); i != std::string::npos)
            message.replace(i, 1, std::to_string(chunk_root));
        EXPECT_EQ(translate(copy, addresses, st), message.empty() ? 0 : 9) << st.message;
        EXPECT_TRUE(!c.message || message == st.message) << st.message;
    }
}

// The chunk root of a copy moved to levels of nodes built in its system chunk, whose pointers name
// one child or distinct ones past the device's end.
TEST(BtrfsImage, EndlessOrBadChildrenFailAsCorrupt)
{
    constexpr uint64_t root = 22020096 + (4 << 20);  // unused room in the system chunk, mapped onto itself
    constexpr uint32_t pointers = (nodesize - 101) / 33;
    const struct {
        const char *what;
        uint8_t levels;
        bool one_child, spoil_leaf;
        std::string message;
    } shapes[] = {
        // About 120 million reads without a bound; the deepest repeat is met first.
        {"one child under every pointer", 3, true, false,
         "Btrfs chunk tree corrupted: node address named twice: " + std::to_string(root + 3 * nodesize)},
        {"leaves past the device's end", 1, false, false, "Btrfs node at 4294967296 failed its check: bytenr 0"},
        {"a leaf's checksum", 2, true, true, "Btrfs node at " + std::to_string(root + 2 * nodesize) + " failed its check: checksum"},
    };
    for (const auto &shape : shapes) {
        SCOPED_TRACE(shape.what);
        const std::string copy = image("single") + "-crafted";
        qvtest::sh_ok("cp --sparse=always " + image("single") + " " + copy);
        block sb = read_at(copy, super_at, BTRFS_SUPER_READ_SIZE);
        s::chunk_root.put(sb, root);
        s::chunk_root_level.put(sb, shape.levels);
        write_at(copy, super_at, sb);
        for (uint8_t level = shape.levels; level <= shape.levels; --level) {
            const uint64_t at = root + nodesize * (shape.levels - level);
            block node(nodesize);
            std::ranges::copy(s::fsid(qv::bytes(sb)), node.begin() + n::fsid.offset);
            n::bytenr.put(node, at);
            n::level.put(node, level);
            n::nritems.put(node, level ? pointers : 0);
            for (uint32_t i = 0; level && i < pointers; ++i)
                fmt::key_ptr::blockptr.put(qv::mut_bytes(node).subspan(n::key_ptr_at(i)),
                                           shape.one_child ? at + nodesize : (4ull << 30) + i * nodesize);
            write_at(copy, at, node, !(level == 0 && shape.spoil_leaf));
            if (!shape.one_child)
                break;
        }
        std::vector<uint64_t> addresses = {8192};
        qvctl_status st{};
        EXPECT_EQ(translate(copy, addresses, st), 9) << st.message;
        EXPECT_EQ(st.message, shape.message);
    }
}
