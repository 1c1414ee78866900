// SPDX-License-Identifier: GPL-2.0-or-later
// A data store larger than vfat's file size limit (4 GiB less a byte) on a large sparse disk: two
// pieces, the first as large as the limit allows in whole clusters, and both registered, the second
// after the first. Stamps every MiB of the store prove where the registered sectors lie.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "../store/mounted_fs.h"
#include "../store/registered_store.h"
#include "qvsim.h"
#include "vfat_guest.h"

using namespace storetest;

namespace {

constexpr uint64_t stamp_every = 1 << 20;

std::string stamp(uint64_t store_offset)
{
    std::string s(4096, '\0');
    for (std::size_t i = 0; i < s.size(); i += 16)
        std::snprintf(&s[i], 16, "%015llu", static_cast<unsigned long long>(store_offset + i));
    return s;
}

// Stamps the pieces, taken as one store in order: the first 4 KiB of each MiB of the store name
// their store offset.
void stamp_pieces(const std::vector<std::string> &pieces)
{
    uint64_t base = 0;
    for (const auto &piece : pieces) {
        qv::unique_fd fd(::open(piece.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_TRUE(fd) << piece;
        const auto size = uint64_t(size_of(piece));
        for (uint64_t at = (base + stamp_every - 1) / stamp_every * stamp_every; at + 4096 <= base + size;
             at += stamp_every)
            ASSERT_EQ(::pwrite(fd.get(), stamp(at).data(), 4096, off_t(at - base)), 4096);
        ASSERT_EQ(::fsync(fd.get()), 0);
        base += size;
    }
}

// Reads each stamp from the whole disk where the registered extents put that store offset.
void expect_stamps_where_registered(const std::string &disk, const store_extent_list &list, uint64_t total)
{
    qv::unique_fd fd(::open(disk.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    ASSERT_TRUE(fd);
    uint64_t ext_start = 0, next = 0, wrong = 0;
    for (uint64_t i = 0; i < list.count; ext_start += list.extents[i++].count * 512)
        for (; next < ext_start + list.extents[i].count * 512 && next < total; next += stamp_every)
            wrong += next + 4096 > ext_start + list.extents[i].count * 512 ||
                     direct_read(fd.get(), list.extents[i].start * 512 + (next - ext_start), 4096) != stamp(next);
    EXPECT_EQ(ext_start, total) << "the extents cover the store exactly";
    EXPECT_EQ(wrong, 0u) << "stamps not found where the extents put them";
}

TEST(VfatPieces, DataStoreAboveTheFileSizeLimitIsTwoRegisteredPieces)
{
    QV_REQUIRE_VFAT();
    qvtest::qvsim sim;
    const std::string dev = sim.disk("6G");
    ASSERT_FALSE(dev.empty());
    // 4 KiB sectors: FIBMAP answers per sector, and a million calls are what a guest kernel affords.
    mounted_fs fs(dev, "mkfs.vfat -F 32 -S 4096");
    ASSERT_TRUE(fs.ok()) << fs.error();
    qvctl_status st{};
    ASSERT_EQ(qvctl_device_attach(dev.c_str(), &st), 0u) << st.message;

    const uint64_t asked = (4ull << 30) + (48 << 20);
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), asked, 0, &st), 0) << st.message;
    const std::string first = fs.store("data"), second = fs.store("data-1");
    EXPECT_GT(size_of(second), 0) << "the store is two pieces";
    EXPECT_FALSE(exists(fs.store("data-2")));
    EXPECT_EQ(qvctl_data_store_check(dev.c_str(), asked, 0, &st), 0) << st.message;
    stamp_pieces({first, second});
    ASSERT_EQ(qvctl_data_store_register(dev.c_str(), &st), 0) << st.message;
    store_extent_list *list = qvctl_data_store_extents_get(dev.c_str(), &st);
    ASSERT_NE(list, nullptr) << st.message;
    expect_stamps_where_registered(dev, *list, uint64_t(size_of(first) + size_of(second)));
    qvctl_store_extents_free(list);
}

}  // namespace
