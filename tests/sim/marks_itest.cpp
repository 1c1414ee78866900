// The mark watch finds a marked file at the sectors FIEMAP gives for it, on a bare disk and inside a
// partition, counted from the start of the whole disk.
#include <gtest/gtest.h>

#include "capability.h"
#include "fs_helpers.h"
#include "qvsim.h"
#include "sim_helpers.h"
#include "temp_dir.h"

using namespace simtest;

namespace {

constexpr std::uint64_t mark = 0xd6dc531a1a93dc11ull;

// Data at three places with holes between, so that the file is likely to take several extents.
constexpr std::pair<off_t, std::size_t> pieces[] = {{0, 256 << 10}, {1 << 20, 256 << 10}, {3 << 20, 128 << 10}};

// FIEMAP's extents in whole-disk sectors, neighbours on the disk joined as the watch's runs are.
std::vector<run> disk_runs(const std::vector<file_extent> &map, std::uint64_t part_start)
{
    std::vector<run> out;
    for (auto &e : map) {
        run r{e.physical / 512 + part_start, e.length / 512};
        if (!out.empty() && out.back().first + out.back().count == r.first)
            out.back().count += r.count;
        else
            out.push_back(r);
    }
    return out;
}

void locate(std::uint64_t part_start)
{
    qvtest::qvsim sim;
    qvtest::temp_dir tmp;
    std::string dev = sim.disk("64M", part_start);
    ASSERT_FALSE(dev.empty());
    qvtest::sh_ok("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + dev);
    mount_guard fs(dev, tmp.file("mnt"));
    ASSERT_TRUE(fs.ok()) << fs.error();
    std::string file = fs.file("store");
    for (unsigned i = 0; i < std::size(pieces); ++i)
        ASSERT_TRUE(write_file(file, pattern(pieces[i].second, i), pieces[i].first));
    auto map = fiemap_of(file);
    ASSERT_FALSE(map.empty());
    auto want = disk_runs(map, part_start);

    ASSERT_EQ(phase(dev, 0).code, 0u);
    for (unsigned i = 0; i < std::size(pieces); ++i) {
        std::string marked = pattern(pieces[i].second, i);
        for (std::size_t s = 0; s < marked.size(); s += 512)
            qv::store_le<std::uint64_t>({reinterpret_cast<std::uint8_t *>(marked.data()), marked.size()}, s, mark);
        ASSERT_TRUE(write_file(file, marked, pieces[i].first, O_SYNC));
    }
    auto located = phase(dev, 1);
    ASSERT_EQ(located.code, 0u) << located.message;
    ASSERT_EQ(located.at<std::uint32_t>(140), want.size());
    auto fetched = phase(dev, 2, qv::req::block_length(144, want.size(), 16));
    ASSERT_EQ(fetched.code, 0u);
    std::vector<run> got;
    for (std::uint32_t i = 0; i < fetched.at<std::uint32_t>(140); ++i)
        got.push_back({fetched.at<std::uint64_t>(144 + 16 * i), fetched.at<std::uint64_t>(152 + 16 * i)});
    EXPECT_EQ(got, want);
    EXPECT_EQ(phase(dev, 3).code, 0u);
    EXPECT_EQ(phase(dev, 2).code, 5u);  // dropped

    for (unsigned i = 0; i < std::size(pieces); ++i)
        ASSERT_TRUE(write_file(file, pattern(pieces[i].second, i), pieces[i].first, O_SYNC));
    fs.unmount();
    mount_guard again(dev, tmp.file("mnt"));
    ASSERT_TRUE(again.ok()) << again.error();
    std::string content = read_file(file);
    for (unsigned i = 0; i < std::size(pieces); ++i)
        EXPECT_EQ(content.substr(static_cast<std::size_t>(pieces[i].first), pieces[i].second),
                  pattern(pieces[i].second, i));
}

}  // namespace

TEST(SimMarks, LocatedExtentsAreTheFileMapOnTheWholeDiskAlsoInsideAPartition)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    for (std::uint64_t part_start : {0, 2048}) {
        SCOPED_TRACE(part_start);
        locate(part_start);
    }
}
