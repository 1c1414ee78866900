// SPDX-License-Identifier: GPL-2.0-or-later
// A mounted vfat in a partition: its changelog and data stores registered by the automatic method
// (vfat answers no FIEMAP, so FIBMAP does the work) and by marking, each proved by the registered
// sectors of the whole disk; then base and incremental images of the device taken by the program,
// each equal to its snapshot.
#include <gtest/gtest.h>

#include "../store/mounted_fs.h"
#include "../store/registered_store.h"
#include "qvsim.h"
#include "vfat_guest.h"

using namespace storetest;

namespace {

const std::string qvsnap_bin = QVSNAP_BIN;

void register_and_prove(const std::string &dev, uint32_t kind, uint32_t method, const std::string &path)
{
    SCOPED_TRACE(path + (method == MAP_METHOD_KERNEL ? " by marking" : " by the automatic method"));
    qvctl_status st{};
    const int rc = kind == STORE_CHANGELOG ? qvctl_changelog_store_register_ex(dev.c_str(), method, 0, &st)
                                           : qvctl_data_store_register_ex(dev.c_str(), method, 0, &st);
    ASSERT_EQ(rc, 0) << st.message;
    expect_registered_as_file(dev, kind, path);
}

// A snapshot by the library (which freezes no vfat), an image of it by the program; the image must
// equal the snapshot.
void image_equals_snapshot(const std::string &dev, const std::string &image, const std::string &flags)
{
    SCOPED_TRACE(flags.empty() ? "base" : "incremental");
    char snap[4096] = {};
    qvctl_status st{};
    ASSERT_EQ(qvctl_snapshot_start(dev.c_str(), snap, 0, &st), 0u) << st.message;
    auto r = qvtest::sh(qvsnap_bin + " -p " + flags + dev + " " + image);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_all(image) == read_all(snap)) << image << " differs from " << snap;
    ASSERT_EQ(qvctl_snapshot_complete(dev.c_str(), &st), 0u) << st.message;
}

TEST(VfatStores, RegisteredByFibmapAndByMarkingAndImagedLikeTheirSnapshots)
{
    QV_REQUIRE_VFAT();
    qvtest::qvsim sim;
    const std::string dev = sim.disk("64M", 2048);
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, "mkfs.vfat");
    ASSERT_TRUE(fs.ok()) << fs.error();
    EXPECT_EQ(fs_type_detect(dev.c_str()), FS_TYPE_VFAT);

    qvctl_status st{};
    ASSERT_EQ(qvctl_device_attach(dev.c_str(), &st), 0u) << st.message;
    ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
    ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 6 << 20, 0, &st), 0) << st.message;
    const std::string changelog = fs.store("changelog"), data = fs.store("data");
    fill_pattern(changelog, 1);
    fill_pattern(data, 2);

    register_and_prove(dev, STORE_CHANGELOG, MAP_METHOD_AUTO, changelog);
    register_and_prove(dev, STORE_DATA, MAP_METHOD_KERNEL, data);
    ASSERT_EQ(qvctl_metadata_store_register(dev.c_str(), &st), 0) << st.message;

    qvtest::temp_dir out;
    const std::string image = out.file("image");
    qvtest::sh_ok("seq 1 20000 > " + fs.mount_point() + "/first && sync");
    image_equals_snapshot(dev, image, "");
    qvtest::sh_ok("seq 5 90000 > " + fs.mount_point() + "/second && rm " + fs.mount_point() + "/first && sync");
    image_equals_snapshot(dev, image, "-i ");
}

}  // namespace
