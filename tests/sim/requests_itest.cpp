// SPDX-License-Identifier: GPL-2.0-or-later
// The stand-in's answers to requests built by hand: refusals as errno values (the module's own
// codes past a byte), store-map batches in order and as the dump shows them, and the quirks of a
// careless module. What qvctl's, the program's and the backups' tests see of it (the changelog,
// the snapshot life cycle, faults, changelog-twice, no-fs-type, eio-from) is proven there.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "capability.h"
#include "fs_helpers.h"
#include "qvsim.h"
#include "sim_helpers.h"

using namespace simtest;

namespace {

bool has(const std::string &text, const std::string &line) { return text.find(line) != std::string::npos; }

// A batch of `n` extents of 8 sectors, the i-th (counting over the whole store) at sector 1000 + 16 i.
answer batch(const std::string &dev, std::uint32_t kind, std::uint32_t flags, std::uint32_t first, std::uint32_t n)
{
    return map_extents(dev, kind, flags, n, 1000 + 16 * first, kind == 1 ? 2048 : 0);
}

answer store_extents(const std::string &dev, std::uint32_t kind)
{
    return send(11, dev, 528, [&](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 136, kind); });
}

}  // namespace

TEST(SimRequests, EveryRefusalIsItsErrno)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    EXPECT_EQ(attach("/dev/null").code, 6u);
    EXPECT_EQ(send(2, "/dev/null").code, 19u);
    EXPECT_EQ(send(2, dev).code, 19u);  // not attached
    EXPECT_EQ(store_extents(dev, 0).code, 19u);
    EXPECT_EQ(send(2, dev, 528, [](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 0, 10); }).code, 188u);
    EXPECT_EQ(send(2, dev, 528, [](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 4, 100); }).code, 22u);
    auto outside = send(0, dev, 528, [](qv::mut_bytes b) {
        qv::store_le<std::uint32_t>(b, 144, 1);
        qv::store_le<std::uint64_t>(b, 152, 131000);
        qv::store_le<std::uint64_t>(b, 160, 1000);
    });
    EXPECT_EQ(outside.code, 22u);
    ASSERT_EQ(attach(dev).code, 0u);

    EXPECT_EQ(send(4, dev).code, 194u);  // 706: no changelog store
    map_store(dev, 0, 100, 8);
    EXPECT_EQ(send(4, dev).code, 195u);  // 707: no data store
    EXPECT_EQ(map_store(dev, 1, 0, 0).code, 199u);  // 711: no sectors
    map_store(dev, 1, 200, 8);
    EXPECT_EQ(send(4, dev).code, 197u);  // 709: no metadata store
    map_store(dev, 2, 300, 8);
    EXPECT_EQ(send(5, dev).code, 190u);
    ASSERT_EQ(send(4, dev).code, 0u);
    EXPECT_EQ(send(1, dev).code, 189u);
    EXPECT_EQ(send(9, dev).code, 189u);
    EXPECT_EQ(send(14, dev).code, 0u);  // reset cancels and drops the stores
    EXPECT_EQ(send(6, dev).code, 190u);
    EXPECT_EQ(send(4, dev).code, 194u);
    EXPECT_EQ(send(9, dev).code, 195u);  // 707: no data store to unmap

    EXPECT_EQ(phase(dev, 1).code, 5u);
    EXPECT_EQ(phase(dev, 0).code, 0u);
    EXPECT_EQ(phase(dev, 0).code, 16u);
    EXPECT_EQ(phase(dev, 1).code, 5u);  // nothing marked; the watch is over
    EXPECT_EQ(phase(dev, 2).code, 5u);

    pid_t pid = ::fork();  // the node is root's only
    if (pid == 0)
        ::_exit(::setresgid(65534, 65534, 65534) || ::setresuid(65534, 65534, 65534) ? 90 : int(attach(dev).code));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 13);
    EXPECT_EQ(send(2, dev).code, 0u) << "the stand-in outlives the refusal";
}

TEST(SimRequests, StoreBatchesInOrderAreTakenAndShownAndOthersRefused)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M", 2048);
    ASSERT_FALSE(dev.empty());
    ASSERT_EQ(attach(dev).code, 0u);
    EXPECT_EQ(batch(dev, 0, 0, 0, 1).code, 22u);  // no batch bit
    EXPECT_EQ(batch(dev, 0, 4, 0, 1).code, 22u);  // nothing open
    EXPECT_EQ(batch(dev, 3, 5, 0, 1).code, 22u);  // no such kind
    EXPECT_EQ(map_store(dev, 0, 131064, 16).code, 22u);  // past the end of the disk
    auto crowded = send(8, dev, 528, [](qv::mut_bytes b) {
        qv::store_le<std::uint32_t>(b, 144, 30);  // 23 fit
        qv::store_le<std::uint32_t>(b, 148, 5);
    });
    EXPECT_EQ(crowded.code, 22u);
    EXPECT_FALSE(has(sim.dump(), "  store ")) << "nothing of those was taken";

    // 500 metadata extents with the store flag 8: 246 (1 | 8), 246 (2), 8 (2 | 4); a batch outside
    // the disk between them leaves the store open with what it had.
    ASSERT_EQ(batch(dev, 2, 9, 0, 246).code, 0u);
    EXPECT_EQ(map_store(dev, 2, 131072, 1, 2).code, 22u);
    EXPECT_TRUE(has(sim.dump(), "  store metadata open param 0 flags 8 extents 246 ")) << sim.dump();
    ASSERT_EQ(batch(dev, 2, 2, 246, 246).code, 0u);
    ASSERT_EQ(batch(dev, 2, 6, 492, 8).code, 0u);
    EXPECT_EQ(batch(dev, 2, 5, 0, 1).code, 17u);
    // One batch holding the whole store, and one with no extents, as a store without pieces is sent.
    ASSERT_EQ(batch(dev, 1, 5, 0, 2).code, 0u);
    ASSERT_EQ(batch(dev, 0, 1, 0, 246).code, 0u);
    ASSERT_EQ(batch(dev, 0, 6, 246, 0).code, 0u);
    std::string all = sim.dump(true);
    EXPECT_TRUE(has(all, "    batches 3 flags 9,2,6 extents 246,246,8\n")) << all;
    EXPECT_TRUE(has(all, "    batches 1 flags 5 extents 2\n    extent 1000 8\n    extent 1016 8\n")) << all;
    EXPECT_TRUE(has(all, "    batches 2 flags 1,6 extents 246,0\n")) << all;
    // A fixed block tells the count and holds what fits (the grown block is the library's test).
    auto few = store_extents(dev, 2);
    ASSERT_EQ(few.code, 0u);
    EXPECT_EQ(few.at<std::uint32_t>(144), 500u);
    EXPECT_EQ(few.at<std::uint64_t>(152 + 16 * 22), 1000u + 16 * 22);
    EXPECT_EQ(store_extents(dev, 3).code, 22u);
    // The data store goes; the other two stay.
    ASSERT_EQ(send(9, dev).code, 0u);
    EXPECT_EQ(store_extents(dev, 1).at<std::uint32_t>(144), 0u);
    EXPECT_FALSE(has(sim.dump(), "store data")) << sim.dump();
    EXPECT_EQ(send(2, dev).at<std::uint32_t>(520), 3u);
}

TEST(SimRequests, QuirksOverstepTheBoundsOfTheirAnswersUntilCleared)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    ASSERT_EQ(attach(dev).code, 0u);
    map_all_stores(dev);
    ASSERT_EQ(phase(dev, 0).code, 0u);  // a watch for the one mark below
    write_blocks(dev, {10}, 'q', 0xd6dc531a1a93dc11ull);
    ASSERT_EQ(phase(dev, 1).code, 0u);
    auto terminated = [](const answer &a, std::size_t off) {
        return std::memchr(a.block.view().data() + off, 0, 128) != nullptr;
    };
    for (bool quirk : {true, false}) {
        SCOPED_TRACE(quirk ? "quirks" : "cleared");
        if (quirk)
            sim.quirk("overcount");
        EXPECT_EQ(device_list(~0u).at<std::uint32_t>(8), quirk ? 1001u : 1u);
        EXPECT_EQ(phase(dev, 2).at<std::uint32_t>(140), quirk ? 1001u : 1u);
        EXPECT_EQ(send(11, dev).at<std::uint32_t>(144), quirk ? 1001u : 1u);
        sim.quirk_clear();
        if (quirk)
            sim.quirk("unterminated");
        for (std::size_t text = 8; text < 520; text += 128)
            EXPECT_EQ(terminated(send(2, dev), text), !quirk) << "text at " << text;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(send(2, dev).block.view().data()) + 8, dev.size()), dev);
        auto start = send(4, dev);
        ASSERT_EQ(start.code, 0u);
        EXPECT_EQ(terminated(start, 137), !quirk);
        EXPECT_EQ(terminated(send(6, dev), 136), !quirk);
        EXPECT_EQ(send(5, dev).code, 0u);
        sim.quirk_clear();
    }
}
