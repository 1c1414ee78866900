// SPDX-License-Identifier: GPL-2.0-or-later
// Btrfs over two stand-in disks, the first one attached (the one the mount table names). Raid1 keeps
// a whole copy of every chunk there, at offsets that differ from the other disk's: the registered
// sectors of the attached disk must hold every store's bytes. Raid0 cuts data across both disks
// and is refused.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../store/mounted_fs.h"
#include "../store/store_test_util.h"
#include "capability.h"
#include "qvctl_internal.h"
#include "qvsim.h"
#include "request_block.h"

namespace {

// Every 8 bytes name the store and their own offset, so that a sector read from the wrong place shows.
void fill_pattern(const std::string &path, uint64_t tag)
{
    qv::unique_fd fd(open(path.c_str(), O_WRONLY));
    ASSERT_TRUE(fd) << path;
    std::vector<uint64_t> buf(1 << 16);
    for (off_t pos = 0, size = storetest::size_of(path); pos < size; pos += off_t(buf.size() * 8)) {
        for (std::size_t i = 0; i < buf.size(); ++i)
            buf[i] = (tag << 56) | (uint64_t(pos) + 8 * i);
        std::size_t len = std::min<off_t>(size - pos, off_t(buf.size() * 8));
        ASSERT_EQ(pwrite(fd.get(), buf.data(), len, pos), ssize_t(len));
    }
    ASSERT_EQ(fsync(fd.get()), 0);
}

// The registered sectors of `kind`, read from the disk around every cache.
std::string registered_bytes(const std::string &disk, uint32_t kind)
{
    qvctl_status st{};
    store_extent_list *list = qvctl_store_extents_get(disk.c_str(), kind, &st);
    EXPECT_NE(list, nullptr) << st.message;
    std::string out;
    qv::unique_fd fd(open(disk.c_str(), O_RDONLY | O_DIRECT));
    void *buf = nullptr;
    if (list && fd && posix_memalign(&buf, 4096, 1 << 20) == 0) {
        for (uint64_t i = 0; i < list->count; ++i)
            for (uint64_t pos = list->extents[i].start * 512, end = pos + list->extents[i].count * 512; pos < end;) {
                const std::size_t len = std::min<uint64_t>(end - pos, 1 << 20);
                if (pread(fd.get(), buf, len, off_t(pos)) != ssize_t(len))
                    return out + "<read failed>";
                out.append(static_cast<char *>(buf), len);
                pos += len;
            }
    }
    std::free(buf);
    qvctl_store_extents_free(list);
    return out;
}

}  // namespace

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
            auto attach = qv::request_new(qv::req::min_size, first.c_str());
            ASSERT_EQ(qvctl_ioctl(QVCTL_REQ_ATTACH, attach.get(), first.c_str(), nullptr), 0u);
            qvctl_status st{};
            ASSERT_EQ(qvctl_changelog_store_create(first.c_str(), &st), 0) << st.message;
            ASSERT_EQ(qvctl_data_store_create(first.c_str(), 8 << 20, 0, &st), 0) << st.message;
            fill_pattern(fs.store("changelog"), 1);
            fill_pattern(fs.store("data"), 2);
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
                    EXPECT_TRUE(registered_bytes(first, kind) == storetest::read_all(fs.store(name))) << name;
            }
        }
        // The kernel keeps knowing the pair's members by path; the loop devices are reused.
        qvtest::sh("btrfs device scan --forget " + first + " " + second + " >/dev/null 2>&1");
        sim.remove(first);
        sim.remove(second);
    }
}
