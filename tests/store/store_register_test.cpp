// SPDX-License-Identifier: GPL-2.0-or-later
// Registration against the in-process module, FIEMAP answered by maps of the test's own: every
// store-map block as the library hands it over, and the extents read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "fake_module.h"
#include "store/extent_map_block.h"
#include "temp_dir.h"

namespace {

namespace sm = qv::req::store_map;
using extents = std::vector<sector_extent>;
const std::string device = "/dev/qv-fake";

std::map<std::string, extents> maps;  // byte extents per piece
std::vector<std::string> mapped;      // pieces in the order mapped

struct fiemap *own_fiemap(const char *path, qvctl_status *)
{
    mapped.push_back(path);
    const extents &ext = maps[path];
    qv::fiemap_ptr m = qv::fiemap_zeroed(ext.size());
    m->fm_mapped_extents = static_cast<uint32_t>(ext.size());
    for (std::size_t i = 0; i < ext.size(); ++i) {
        m->fm_extents[i].fe_physical = ext[i].start;
        m->fm_extents[i].fe_length = ext[i].count;
    }
    return m.release();
}

// A piece of n extents of 4096 bytes, 8192 apart from byte `from`, in a file of their size plus `more`.
std::string piece(const qvtest::temp_dir &d, const std::string &name, std::size_t n, uint64_t from = 1 << 20,
                  off_t more = 0)
{
    std::string p = d.write(name, "");
    EXPECT_EQ(truncate(p.c_str(), off_t(n * 4096) + more), 0);
    maps[p].clear();
    for (std::size_t i = 0; i < n; ++i)
        maps[p].push_back({from + 8192 * i, 4096});
    return p;
}

int store_register(uint32_t kind, const std::string &path, qvctl_status *st, uint32_t flags = 0,
                   const char *dev = device.c_str())
{
    store_map_job job{};
    job.kind = kind;
    job.device = dev;
    std::snprintf(job.path, sizeof job.path, "%s", path.c_str());
    job.param = kind == STORE_DATA ? 2048 : 0;
    job.flags = flags;
    job.fiemap = own_fiemap;
    mapped.clear();
    return store_map_register(&job, st);
}

using shape = std::vector<std::pair<uint32_t, uint32_t>>;  // count and flags of each batch

// The store-map blocks' shape, each block checked to be of the batch length, of the kind, for the
// device; the extents they carry appended to `sent`.
shape batches(const qvtest::fake_module &m, uint32_t kind, extents &sent)
{
    shape out;
    for (auto &r : m.of(QVCTL_REQ_STORE_MAP)) {
        qv::bytes b(r.block);
        EXPECT_EQ(b.size(), sm::length);
        EXPECT_EQ(r.device, device);
        EXPECT_EQ(qv::load_le<uint32_t>(b, sm::kind), kind);
        EXPECT_EQ(qv::load_le<uint32_t>(b, sm::param), kind == STORE_DATA ? 2048u : 0u);
        const uint32_t count = qv::load_le<uint32_t>(b, sm::count);
        out.emplace_back(count, qv::load_le<uint32_t>(b, sm::flags));
        for (uint32_t i = 0; i < count; ++i)
            sent.push_back({qv::load_le<uint64_t>(b, sm::extents + 16 * i), qv::load_le<uint64_t>(b, sm::extents + 16 * i + 8)});
    }
    return out;
}

TEST(StoreMapBatches, FlagsCountsAndSectorsAtTheBatchBoundaries)
{
    const std::tuple<uint32_t, std::size_t, uint32_t, shape> cases[] = {
        {STORE_DATA, 0, 0, {{0, 5}}},
        {STORE_DATA, 246, 0, {{246, 1}, {0, 6}}},
        {STORE_DATA, 247, 0, {{246, 1}, {1, 6}}},
        {STORE_DATA, 500, 0, {{246, 1}, {246, 2}, {8, 6}}},
        // The metadata store's own flag goes with the first batch only.
        {STORE_METADATA, 3, MAP_FLAG_METADATA_OPT, {{3, 13}}},
        {STORE_METADATA, 300, MAP_FLAG_METADATA_OPT, {{246, 9}, {54, 6}}},
    };
    for (auto &[kind, n, flags, want] : cases) {
        SCOPED_TRACE(n);
        qvtest::temp_dir d;
        qvtest::fake_module m;
        // Split over two pieces: the batches run on across them.
        std::string base = piece(d, "store", n / 3);
        piece(d, "store-1", n - n / 3, 1 << 30);
        qvctl_status st{};
        ASSERT_EQ(store_register(kind, base, &st, flags), 0) << st.message;
        extents sent;
        EXPECT_EQ(batches(m, kind, sent), want);
        ASSERT_EQ(sent.size(), n);
        for (std::size_t i = 0; i < n; ++i) {  // whole-disk sectors of a whole disk
            uint64_t at = i < n / 3 ? (1 << 20) + 8192 * i : (uint64_t{1} << 30) + 8192 * (i - n / 3);
            EXPECT_EQ(sent[i].start, at / 512) << i;
            EXPECT_EQ(sent[i].count, 8u) << i;
        }
    }
}

TEST(StoreMapBatches, PiecesInPlainByteOrderAndOthersLeftOut)
{
    qvtest::temp_dir d;
    qvtest::fake_module m;
    std::string base = piece(d, "data", 1);
    for (const char *s : {"-2", "-10", "-1", "-11", ".bak", "-old", "-01"})
        piece(d, std::string("data") + s, 1);
    ASSERT_EQ(store_register(STORE_DATA, base, nullptr), 0);
    std::vector<std::string> want;
    for (const char *s : {"", "-1", "-10", "-11", "-2"})
        want.push_back(base + s);
    EXPECT_EQ(mapped, want);
}

TEST(StoreMapRefusals, NothingIsSentPastTheFirstRefusal)
{
    qvtest::temp_dir d;
    qvctl_status st{};
    {
        qvtest::fake_module m;
        piece(d, "data.bak", 1);  // begins with the store's name but is none of its pieces
        EXPECT_EQ(store_register(STORE_DATA, d.file("data"), &st), ENOENT);
        std::string base = piece(d, "changelog", 3, 1 << 20, 1);  // one byte more than its map
        EXPECT_EQ(store_register(STORE_CHANGELOG, base, &st), EINVAL);
        EXPECT_EQ(store_register(STORE_CHANGELOG, base, &st, 0, std::string(128, 'x').c_str()), EINVAL);
        EXPECT_TRUE(mapped.empty());
        EXPECT_TRUE(m.requests.empty());
    }
    std::string base = piece(d, "changelog", 300);
    for (int refused : {0, 1}) {  // a refused later batch ends the sending too
        qvtest::fake_module m;
        m.fail_at_request = refused;
        EXPECT_EQ(store_register(STORE_DATA, base, &st), EIO);
        EXPECT_EQ(m.requests.size(), refused + 1u);
    }
}

// A count beyond what the block holds is believed only as far as the block goes.
TEST(StoreExtents, AskedTwiceAndReadNoFurtherThanTheBlock)
{
    for (auto [held, extra, want] : {std::tuple{2, 0u, 2u}, {300, 0u, 300u}, {2, 100u, 23u}}) {
        qvtest::fake_module m;
        for (int i = 0; i < held; ++i)
            m.held.push_back({uint64_t(1000 + i), 8});
        m.held_extra = extra;
        qvctl_status st{};
        store_extent_list *list = qvctl_store_extents_get(device.c_str(), STORE_METADATA, &st);
        ASSERT_NE(list, nullptr) << st.message;
        EXPECT_EQ(list->count, want);
        EXPECT_EQ(list->extents[1].start, 1001u);
        qvctl_store_extents_free(list);
        auto asked = m.of(QVCTL_REQ_STORE_EXTENTS);
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(qv::load_le<uint32_t>(qv::bytes(asked[1].block), qv::req::store_extents::kind), STORE_METADATA);
        EXPECT_EQ(asked[1].block.size(), qv::req::block_length(152, held, 16));
    }
}

}  // namespace
