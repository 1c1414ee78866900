// SPDX-License-Identifier: GPL-2.0-or-later
// The chunk map's stripe choice and extent cutting; translation over images written by mkfs.btrfs,
// over damaged copies of them, and over chunk trees whose walks would never end in practice.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "capability.h"
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
constexpr uint64_t super_at = s::device_offset, nodesize = 16384, data = 1, M = 1ull << 20, G = 1ull << 30;

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
// blocks keep. Empty without the tools.
std::string image(const char *name)
{
    static qvtest::temp_dir dir;
    static const bool made = [] {
        if (qvtest::sh("command -v mkfs.btrfs && command -v btrfstune").status != 0)
            return false;
        for (const auto &[img, make] : {std::pair{"single", ""}, {"dup", "-m dup -d dup"}, {"small", "-n 4096 -s 4096"},
                                        {"xxhash", "--csum xxhash"}, {"muuid", ""}})
            qvtest::sh_ok("truncate -s 256M " + dir.file(img) + " && mkfs.btrfs -q -f " + make + " " + dir.file(img));
        return qvtest::sh("btrfstune -m " + dir.file("muuid")).status == 0;
    }();
    return made ? dir.file(name) : "";
}

// The offset on device 2 of a chunk of `type` with one stripe per devid, stripe i at (i + 1) MiB.
uint64_t physical(uint64_t type, const std::vector<uint64_t> &devids)
{
    std::vector<uint8_t> c(fmt::chunk::item_size(static_cast<uint16_t>(devids.size())));
    fmt::chunk::type.put(c, type);
    fmt::chunk::num_stripes.put(c, static_cast<uint16_t>(devids.size()));
    for (uint16_t i = 0; i < devids.size(); ++i) {
        fmt::stripe::devid.put(qv::mut_bytes(c).subspan(fmt::chunk::stripe_at(i)), devids[i]);
        fmt::stripe::offset.put(qv::mut_bytes(c).subspan(fmt::chunk::stripe_at(i)), (i + 1u) * M);
    }
    return btrfs_chunk_physical(c.data(), static_cast<uint32_t>(c.size()), 2);
}

}  // namespace

// Every tree block records its own logical address: a tree root's translated address must hold
// the block naming it. Unmapped addresses stay; unopenable or unreadable devices are refused.
TEST(BtrfsImage, TranslatesTreeRootsOfEachKindAndRefusesBadDevices)
{
    QV_REQUIRE_CAPABILITY(image("single").empty() ? "mkfs.btrfs or btrfstune is not installed" : "");
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
// sealed again when `seal`): refused with 9 and the message, @ standing for the chunk root's
// address, or accepted where it is empty.
TEST(BtrfsImage, DamagedCopiesFailWithCorruptData)
{
    QV_REQUIRE_CAPABILITY(image("single").empty() ? "mkfs.btrfs or btrfstune is not installed" : "");
    constexpr bool root = true, seal = true;
    constexpr size_t array = s::sys_chunk_array_offset, chunk = array + fmt::key::size;
    const struct {
        const char *what;
        bool in_root, seal;
        size_t offset;
        uint64_t value;
        size_t width;
        const char *message;  // null: only the code is checked
        const char *image = "single";
        bool under_node = false;  // the chunk root is put under a node whose every pointer names it
    } cases[] = {
        {"magic", !root, !seal, s::magic.offset, 0, 1, "Btrfs superblock appears to be corrupted"},
        {"bytenr", !root, !seal, s::bytenr.offset, 131072, 8, "Btrfs superblock appears to be corrupted"},
        {"checksum", !root, !seal, 300, 0xff, 1, "Btrfs superblock failed its check: checksum"},
        {"checksum type", !root, seal, s::csum_type.offset, 9, 2, "Btrfs superblock failed its check: checksum type 9"},
        {"key type", !root, seal, array + fmt::key::type.offset, 216, 1, "ERROR: Unexpected data in superblock"},
        {"zero stripes", !root, seal, chunk + fmt::chunk::num_stripes.offset, 0, 2, nullptr},
        {"array size", !root, seal, s::sys_chunk_array_size.offset, 4000, 4, "Btrfs system chunk array size 4000 exceeds its 2048 bytes"},
        {"array size cutting a chunk", !root, seal, s::sys_chunk_array_size.offset, 17 + 40, 4, "ERROR: Unexpected data in superblock"},
        {"leaf size", !root, seal, s::leafsize.offset, 0xfffffff0u, 4, "Btrfs node size 4294967280 at address @ is out of range"},
        {"devid", !root, seal, s::devid.offset, 2, 8, "ERROR: chunk tree: btrfs address @ lies in a chunk with no stripe on this device"},
        {"root level", !root, seal, s::chunk_root_level.offset, 1, 1, "Btrfs node at @ failed its check: level 0"},
        {"metadata uuid", !root, seal, s::metadata_uuid.offset, 0, 8, "Btrfs node at @ failed its check: fsid", "muuid"},
        {"node bytenr", root, !seal, n::bytenr.offset, 1, 8, "Btrfs node at @ failed its check: bytenr 1"},
        {"node fsid", root, !seal, n::fsid.offset, 0, 8, "Btrfs node at @ failed its check: fsid"},
        {"node level", root, !seal, n::level.offset, 8, 1, "Btrfs node at @ failed its check: level 8"},
        {"node checksum", root, !seal, nodesize - 1, 0xff, 1, "Btrfs node at @ failed its check: checksum"},
        {"xxhash64 unchecked", root, !seal, nodesize - 1, 0xff, 1, "", "xxhash"},
        {"item count", root, seal, n::nritems.offset, (nodesize - 101) / 25 + 1, 4, "Btrfs chunk tree corrupted: leaf item count exceeds the leaf: 652"},
        // Item 0 is the device's, 1 the first chunk's.
        {"chunk item outside the leaf", root, seal, n::item_at(1) + fmt::item::offset.offset, nodesize - 101 - 79, 4, nullptr},
        // Without a bound, a few levels of such nodes would take about 120 million reads.
        {"one child under every pointer", root, seal, 0, 0, 0, "Btrfs chunk tree corrupted: node address named twice: @", "single", true},
        {"child checksum", root, !seal, nodesize - 1, 0xff, 1, "Btrfs node at @ failed its check: checksum", "single", true},
        {"child level", root, seal, n::level.offset, 1, 1, "Btrfs chunk tree corrupted: child node level does not follow its parent's: @",
         "single", true},
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
        if (c.under_node) {
            constexpr uint64_t parent_at = 22020096 + (4 << 20);  // unused room in the system chunk, mapped onto itself
            constexpr uint32_t pointers = (nodesize - 101) / 33;
            block sb = read_at(copy, super_at, BTRFS_SUPER_READ_SIZE), parent(nodesize);
            s::chunk_root.put(sb, parent_at);
            s::chunk_root_level.put(sb, 1);
            write_at(copy, super_at, sb);
            std::ranges::copy(s::fsid(qv::bytes(sb)), parent.begin() + n::fsid.offset);
            n::bytenr.put(parent, parent_at);
            n::level.put(parent, 1);
            n::nritems.put(parent, pointers);
            for (uint32_t i = 0; i < pointers; ++i)
                fmt::key_ptr::blockptr.put(qv::mut_bytes(parent).subspan(n::key_ptr_at(i)), chunk_root);
            write_at(copy, parent_at, parent);
        }
        std::string message = c.message ? c.message : "-";
        if (const size_t i = message.find('@'); i != std::string::npos)
            message.replace(i, 1, std::to_string(chunk_root));
        EXPECT_EQ(translate(copy, addresses, st), message.empty() ? 0 : 9) << st.message;
        EXPECT_TRUE(!c.message || message == st.message) << st.message;
    }
}

// Whole-copy profiles go through the mapped device's own stripe; striped ones are refused unless
// they have a single stripe, and so are chunks kept elsewhere.
TEST(ChunkMap, StripeOnTheMappedDeviceByProfile)
{
    EXPECT_EQ(physical(data, {2}), M);
    EXPECT_EQ(physical(data, {1}), BTRFS_CHUNK_ABSENT);
    EXPECT_EQ(physical(data | 1 << 5, {2, 2}), M);                  // dup
    EXPECT_EQ(physical(data | 1 << 4, {1, 2}), 2 * M);              // raid1
    EXPECT_EQ(physical(data | 1 << 4, {1, 3}), BTRFS_CHUNK_ABSENT);  // raid1 elsewhere
    EXPECT_EQ(physical(data | 1 << 9, {3, 1, 2}), 3 * M);           // raid1c3
    EXPECT_EQ(physical(data | 1 << 3, {1, 2}), BTRFS_CHUNK_SPREAD);  // raid0
    EXPECT_EQ(physical(data | 1 << 3, {2}), M);                     // raid0 of one stripe
}

// An extent that runs past its chunk's end continues in the chunk that follows it in the logical
// space, wherever that chunk's stripe lies: each piece is translated through its own chunk. A piece
// in a chunk kept elsewhere fails the whole map, naming where that piece starts.
TEST(ChunkMapSplit, ExtentsAreCutAtChunkEnds)
{
    constexpr uint64_t top = ~0ull - M + 1;
    struct map_owner {
        chunk_map root = nullptr;
        ~map_owner() { chunk_map_free(&root); }
    } m;
    qvctl_status st{};
    // Two adjacent chunks stored apart, one with no stripe here, a gap, one more, one striped and
    // one that ends the address space (its compare must not wrap).
    for (const chunk_map_entry &c : {chunk_map_entry{G, 100 * M, 8 * M}, {G + 8 * M, 300 * M, 8 * M},
                                     {G + 16 * M, BTRFS_CHUNK_ABSENT, 8 * M}, {G + 32 * M, 500 * M, 8 * M},
                                     {2 * G, BTRFS_CHUNK_SPREAD, G}, {top, 7 * M, M}})
        ASSERT_EQ(chunk_map_insert(&m.root, c.logical, c.physical, c.length, &st), 0);
    using piece = std::tuple<uint64_t, uint64_t, uint64_t, uint32_t>;  // file offset, device offset, length, flags
    constexpr uint32_t last = FIEMAP_EXTENT_LAST;
    const struct {
        uint64_t logical, length;
        std::vector<piece> pieces;  // the extent sits at file offset 1 MiB, flagged last; none: refused
        const char *why = nullptr;
    } rows[] = {
        {G + 8 * M - 4096, 12288, {{M, 108 * M - 4096, 4096, 0}, {M + 4096, 300 * M, 8192, last}}},
        {G + 28 * M, 8 * M, {{M, G + 28 * M, 4 * M, 0}, {5 * M, 500 * M, 4 * M, last}}},  // from a gap
        {G + 4096, 0, {{M, 100 * M + 4096, 0, last}}},
        {top + 4096, 4096, {{M, 7 * M + 4096, 4096, last}}},
        {G + 12 * M, 8 * M, {}, "1090519040 lies in a chunk with no stripe on this device"},
        {2 * G + 4096, 4096, {}, "2147487744 lies in a chunk whose data is striped across devices"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.logical);
        std::vector<uint8_t> block(sizeof(fiemap) + sizeof(fiemap_extent));
        auto *in = reinterpret_cast<fiemap *>(block.data());
        in->fm_mapped_extents = 1;
        in->fm_extents[0] = {M, r.logical, r.length, {}, last, {}};
        struct fiemap *raw = nullptr;
        const int code = chunk_map_split(&m.root, in, "/dev/x", &raw, &st);
        qv::heap_ptr<struct fiemap> out(raw);
        EXPECT_EQ(code, r.why ? 9 : 0) << st.message;
        EXPECT_EQ(st.message, r.why ? std::string("ERROR: /dev/x: btrfs address ") + r.why : st.message);
        std::vector<piece> got;
        for (uint32_t i = 0; out && i < out->fm_mapped_extents; ++i) {
            const fiemap_extent &e = out->fm_extents[i];
            got.emplace_back(e.fe_logical, e.fe_physical, e.fe_length, e.fe_flags);
        }
        EXPECT_EQ(got, r.pieces);
    }
}
