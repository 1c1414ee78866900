// Registration end to end on stand-in disks: stores made on ext4, xfs and btrfs, mapped by each
// method, registered, read back from the stand-in, and the registered sectors of the whole disk
// compared byte for byte with the store files as the filesystem reads them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capability.h"
#include "mounted_fs.h"
#include "qvctl_internal.h"
#include "qvsim.h"
#include "request_block.h"
#include "store_test_util.h"

using namespace storetest;

namespace {

// Every 8 bytes name the store and their own offset, so that a sector found in the wrong place shows.
void fill_pattern(const std::string &path, uint64_t tag)
{
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    std::vector<uint64_t> buf(1 << 17);
    for (off_t pos = 0, size = size_of(path); pos < size; pos += off_t(buf.size() * 8)) {
        for (std::size_t i = 0; i < buf.size(); ++i)
            buf[i] = (tag << 56) | (uint64_t(pos) + 8 * i);
        std::size_t len = std::min<off_t>(size - pos, off_t(buf.size() * 8));
        ASSERT_EQ(pwrite(fd, buf.data(), len, pos), ssize_t(len));
    }
    ASSERT_EQ(fsync(fd), 0);
    close(fd);
}

// The bytes of the registered extents, read around every cache from the whole disk.
std::string registered_bytes(const std::string &disk, const store_extent_list &list)
{
    std::string out;
    int fd = open(disk.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0)
        return out;
    void *buf = nullptr;
    if (posix_memalign(&buf, 4096, 1 << 20) != 0) {
        close(fd);
        return out;
    }
    for (uint64_t i = 0; i < list.count; ++i) {
        uint64_t pos = list.extents[i].start * 512, left = list.extents[i].count * 512;
        while (left > 0) {
            std::size_t len = std::min<uint64_t>(left, 1 << 20);
            if (pread(fd, buf, len, off_t(pos)) != ssize_t(len)) {
                out += "<read failed>";
                left = 0;
                break;
            }
            out.append(static_cast<char *>(buf), len);
            pos += len;
            left -= len;
        }
    }
    free(buf);
    close(fd);
    return out;
}

std::string whole_disk(const std::string &dev)
{
    auto p = dev.rfind('p');
    return dev.compare(0, 9, "/dev/loop") == 0 && p > 8 ? dev.substr(0, p) : dev;
}

uint32_t attach(const std::string &dev)
{
    auto b = qv::request_new(qv::req::min_size, dev.c_str());
    return qvctl_ioctl(QVCTL_REQ_ATTACH, b.get(), dev.c_str(), nullptr);
}

void expect_registered_as_file(const std::string &dev, uint32_t kind, const std::string &path)
{
    qvctl_status st{};
    store_extent_list *list = qvctl_store_extents_get(dev.c_str(), kind, &st);
    ASSERT_NE(list, nullptr) << st.message;
    uint64_t sectors = 0;
    for (uint64_t i = 0; i < list->count; ++i)
        sectors += list->extents[i].count;
    EXPECT_EQ(sectors * 512, uint64_t(size_of(path))) << path;
    std::string disk = registered_bytes(whole_disk(dev), *list);
    qvctl_store_extents_free(list);
    EXPECT_TRUE(disk == read_all(path)) << path << ": registered sectors differ from the file";
}

struct layout {
    const char *fs;
    const char *mkfs;
};

class Registration : public ::testing::TestWithParam<layout> {};

TEST_P(Registration, EachMethodOnWholeDiskAndPartition)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    const layout l = GetParam();
    const bool btrfs = std::string(l.fs) == "btrfs";
    qvtest::qvsim sim;
    for (unsigned long part : {0ul, 2048ul}) {
        std::string dev = sim.disk("512M", part);
        ASSERT_FALSE(dev.empty());
        mounted_fs fs(dev, l.mkfs);
        ASSERT_TRUE(fs.ok()) << fs.error();
        SCOPED_TRACE(dev);
        ASSERT_EQ(attach(dev), 0u);
        qvctl_status st{};
        ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_create(dev.c_str(), 8 << 20, 0, &st), 0) << st.message;
        fill_pattern(fs.store("changelog"), 1);
        fill_pattern(fs.store("data"), 2);

        // btrfs answers no FIBMAP; there the data store goes by the automatic order instead.
        uint32_t data_method = btrfs ? MAP_METHOD_AUTO : MAP_METHOD_FIBMAP;
        ASSERT_EQ(qvctl_changelog_store_register_ex(dev.c_str(), MAP_METHOD_FIEMAP, 0, &st), 0) << st.message;
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), data_method, 0, &st), 0) << st.message;
        ASSERT_EQ(qvctl_metadata_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 4096, 0, &st), 0) << st.message;
        EXPECT_TRUE(all_zero(read_all(fs.store("metadata"))));

        expect_registered_as_file(dev, STORE_CHANGELOG, fs.store("changelog"));
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
        expect_registered_as_file(dev, STORE_METADATA, fs.store("metadata"));
        std::string dump = sim.dump();
        EXPECT_NE(dump.find("store data mapped param 2048 flags 0"), std::string::npos) << dump;

        EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), 17);
        EXPECT_EQ(std::string(st.message), "ERROR: changelog store is already mapped on device " + dev);

        // The data store taken back and registered again, this time by marking.
        ASSERT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 0) << st.message;
        EXPECT_EQ(qvctl_data_store_unmap(dev.c_str(), &st), 195);
        ASSERT_EQ(qvctl_data_store_register_ex(dev.c_str(), MAP_METHOD_KERNEL, 1 << 20, &st), 0) << st.message;
        expect_registered_as_file(dev, STORE_DATA, fs.store("data"));
    }
}

INSTANTIATE_TEST_SUITE_P(Filesystems, Registration,
                         ::testing::Values(layout{"ext4", "mkfs.ext4 -q -F"}, layout{"xfs", "mkfs.xfs -q -f"},
                                           layout{"btrfs", "mkfs.btrfs -q -f"}),
                         [](const auto &p) { return std::string(p.param.fs); });

// What is checked or made before anything is mapped.
TEST(RegistrationPrerequisites, MissingStores)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    mounted_fs fs(dev, "mkfs.ext4 -q -F");
    ASSERT_TRUE(fs.ok()) << fs.error();
    ASSERT_EQ(attach(dev), 0u);
    qvctl_status st{};
    EXPECT_EQ(qvctl_changelog_store_register(dev.c_str(), &st), ENOENT);
    EXPECT_EQ(std::string(st.message), "WARNING: Failed to open file " + fs.store("changelog") +
                                           ": No such file or directory");
    EXPECT_EQ(qvctl_data_store_register(dev.c_str(), &st), 2);
    EXPECT_EQ(std::string(st.message), "ERROR: No store found on glob " + fs.store("data") + "* (glob errcode: 3)");

    // A damaged metadata store is made afresh as 4096 zero bytes before it is mapped.
    ASSERT_EQ(qvctl_changelog_store_create(dev.c_str(), &st), 0);
    qvtest::sh_ok("echo damaged > " + fs.store("metadata"));
    int r = qvctl_metadata_store_register_opt(dev.c_str(), &st);
    EXPECT_TRUE(allocated(fs.store("metadata"), 4096));
    EXPECT_TRUE(all_zero(read_all(fs.store("metadata"))));
    ASSERT_EQ(r, 0) << st.message;
    std::string dump = sim.dump();
    EXPECT_NE(dump.find("store metadata mapped param 0 flags 8"), std::string::npos) << dump;
    EXPECT_NE(dump.find("flags 13"), std::string::npos) << dump;
}

}  // namespace
