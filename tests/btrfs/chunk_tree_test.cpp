// SPDX-License-Identifier: GPL-2.0-or-later
// Translation over images written by mkfs.btrfs and over copies with a damaged chunk root, and the
// cutting of extents at chunk ends.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "capability.h"
#include "btrfs/format/layout.h"
#include "heap_block.h"
#include "qvctl_internal.h"
#include "shell.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace {

namespace s = qv::btrfs::super;
namespace n = qv::btrfs::node;
using block = std::vector<uint8_t>;
constexpr uint64_t super_at = s::device_offset, nodesize = 16384, M = 1ull << 20, G = 1ull << 30;

block read_at(const std::string &path, uint64_t at, size_t size)
{
    block b(size);
    qv::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(pread(fd.get(), b.data(), size, static_cast<off_t>(at)), static_cast<ssize_t>(size));
    return b;
}

void write_at(const std::string &path, uint64_t at, const block &b)
{
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

// mkfs.btrfs images, made once; empty without the tool.
std::string image(const char *name)
{
    static qvtest::temp_dir dir;
    static const bool made = [] {
        if (qvtest::sh("command -v mkfs.btrfs").status != 0)
            return false;
        for (const auto &[img, make] : {std::pair{"single", ""}, {"dup", "-m dup -d dup"}})
            qvtest::sh_ok("truncate -s 256M " + dir.file(img) + " && mkfs.btrfs -q -f " + make + " " + dir.file(img));
        return true;
    }();
    return made ? dir.file(name) : "";
}

}  // namespace

// Every tree block records its own logical address: a tree root's translated address must hold
// the block naming it. Unmapped addresses stay.
TEST(BtrfsImage, TranslatesTreeRootsOfEachProfile)
{
    QV_REQUIRE_CAPABILITY(image("single").empty() ? "mkfs.btrfs is not installed" : "");
    for (const char *name : {"single", "dup"}) {
        const block sb = read_at(image(name), super_at, BTRFS_SUPER_READ_SIZE);
        std::vector<uint64_t> roots = {s::root(sb), s::chunk_root(sb), 4096, ~0ull}, at = roots;
        qvctl_status st{};
        ASSERT_EQ(translate(image(name), at, st), 0) << name << ": " << st.message;
        for (size_t i = 0; i < 2; ++i)
            EXPECT_EQ(n::bytenr(read_at(image(name), at[i], 4096)), roots[i]) << name << " root " << i;
        EXPECT_EQ(std::vector(at.begin() + 2, at.end()), std::vector(roots.begin() + 2, roots.end())) << name;
    }
}

// The low `width` bytes of `value` written at `offset` of a copy's chunk root, its checksum left
// stale: refused with 9 and the message, @ standing for the chunk root's address.
TEST(BtrfsImage, DamagedChunkRootHeadersFailWithCorruptData)
{
    QV_REQUIRE_CAPABILITY(image("single").empty() ? "mkfs.btrfs is not installed" : "");
    const struct {
        size_t offset;
        uint64_t value;
        size_t width;
        const char *message;
    } cases[] = {
        {n::bytenr.offset, 1, 8, "Btrfs node at @ failed its check: bytenr 1"},
        {n::fsid.offset, 0, 8, "Btrfs node at @ failed its check: fsid"},
        {n::level.offset, 8, 1, "Btrfs node at @ failed its check: level 8"},
        {nodesize - 1, 0xff, 1, "Btrfs node at @ failed its check: checksum"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        const std::string copy = image("single") + "-damaged";
        qvtest::sh_ok("cp --sparse=always " + image("single") + " " + copy);
        const uint64_t chunk_root = s::chunk_root(read_at(copy, super_at, BTRFS_SUPER_READ_SIZE));
        std::vector<uint64_t> at = {chunk_root}, addresses = {22020096, 30408704};
        qvctl_status st{};
        ASSERT_EQ(translate(copy, at, st), 0) << st.message;
        block b = read_at(copy, at[0], nodesize);
        for (size_t i = 0; i < c.width; ++i)
            b[c.offset + i] = static_cast<uint8_t>(c.value >> (8 * i));
        write_at(copy, at[0], b);
        std::string message = c.message;
        message.replace(message.find('@'), 1, std::to_string(chunk_root));
        EXPECT_EQ(translate(copy, addresses, st), 9) << st.message;
        EXPECT_EQ(st.message, message);
    }
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
