// SPDX-License-Identifier: GPL-2.0-or-later
// Btrfs over two stand-in disks, the first one attached (the one the mount table names). Raid1 keeps
// a whole copy of every chunk there, at offsets that differ from the other disk's: the registered
// sectors of the attached disk must hold every store's bytes. Raid0 cuts data across both disks
// and is refused.
#include <gtest/gtest.h>

#include <string>

#include "../store/mounted_fs.h"
#include "../store/registered_store.h"
#include "capability.h"
#include "qvsim.h"

TEST(BtrfsMultiDevice, Raid1RegistersTheAttachedDisksCopyAndRaid0IsRefused)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    for (const std::string profile : {"raid1", "raid0"}) {
        SCOPED_TRACE(profile);
        const std::string first = sim.disk("512M"), second = sim.disk("512M");
        ASSERT_FALSE(first.empty() || second.empty());
        {
            storetest::mounted_fs fs(second, "mkfs.btrfs -q -f -m raid1 -d " + profile + " " + first);
            ASSERT_TRUE(fs.ok()) << fs.error();
            ASSERT_EQ(storetest::attach(first), 0u);
            qvctl_status st{};
            ASSERT_EQ(qvctl_changelog_store_create(first.c_str(), &st), 0) << st.message;
            ASSERT_EQ(qvctl_data_store_create(first.c_str(), 8 << 20, 0, &st), 0) << st.message;
            storetest::fill_pattern(fs.store("changelog"), 1);
            storetest::fill_pattern(fs.store("data"), 2);
            // mkfs puts the first disk's stripe first in every chunk, at offsets equal to the chunks'
            // logical addresses. Chunks made again by the kernel put the emptier second disk's stripe
            // first; made twice, their addresses differ from both disks' offsets, so a stripe taken
            // from the wrong disk reads other data.
            for (int i = 0; i < 2; ++i)
                qvtest::sh_ok("btrfs balance start --full-balance " + fs.mount_point() + " >/dev/null 2>&1");
            if (profile == "raid0") {
                EXPECT_EQ(qvctl_changelog_store_register_ex(first.c_str(), MAP_METHOD_FIEMAP, 0, &st), 9);
                const std::string message = st.message;
                EXPECT_EQ(message.rfind("ERROR: " + first + ": btrfs address ", 0), 0u) << message;
                EXPECT_NE(message.find(" lies in a chunk whose data is striped across devices"), std::string::npos)
                    << message;
                EXPECT_EQ(sim.dump().find("store changelog mapped"), std::string::npos);
            } else {
                ASSERT_EQ(qvctl_changelog_store_register_ex(first.c_str(), MAP_METHOD_FIEMAP, 0, &st), 0) << st.message;
                ASSERT_EQ(qvctl_data_store_register_ex(first.c_str(), MAP_METHOD_AUTO, 0, &st), 0) << st.message;
                ASSERT_EQ(qvctl_metadata_store_register_ex(first.c_str(), MAP_METHOD_KERNEL, 4096, 0, &st), 0)
                    << st.message;
                const std::pair<uint32_t, const char *> stores[] = {
                    {STORE_CHANGELOG, "changelog"}, {STORE_DATA, "data"}, {STORE_METADATA, "metadata"}};
                for (auto [kind, name] : stores)
                    storetest::expect_registered_as_file(first, kind, fs.store(name));
            }
        }
        // The kernel keeps knowing the pair's members by path; the loop devices are reused.
        qvtest::sh("btrfs device scan --forget " + first + " " + second + " >/dev/null 2>&1");
        sim.remove(first);
        sim.remove(second);
    }
}
