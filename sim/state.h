// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's in-memory state: disks, attached devices, snapshots, marks, faults and quirks.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvsim {

constexpr std::uint64_t block_bytes = 4096;

struct extent {
    std::uint64_t first = 0, count = 0;
};

struct disk {
    int index = 0;
    int backing_fd = -1;
    std::uint64_t bytes = 0;
    std::string loop;                 // /dev/loopN
    std::string partition;            // /dev/loopNp1 or ""
    dev_t whole_rdev = 0, part_rdev = 0;
    std::uint64_t part_start = 0, part_sectors = 0;
    bool watching = false;            // mark watch running
    std::set<std::uint64_t> marks;    // whole-disk sectors seen with the mark
    std::vector<extent> found;        // their runs, kept for the fetch phase
};

// One store-map request as it was taken: its batch flags (store flags included) and extent count.
struct batch {
    std::uint32_t flags = 0, count = 0;
};

struct store {
    bool open = false, mapped = false;
    std::uint32_t param = 0, flags = 0;
    std::vector<extent> extents;
    std::vector<batch> batches;
};

struct snapshot {
    int index = 0;
    int cow_fd = -1;                  // preserved blocks at their own offsets
    std::vector<bool> preserved;
    std::set<std::uint64_t> changelog;
    std::string loop;                 // /dev/loopM over snapN, read-only
};

struct device {
    std::string path;
    dev_t rdev = 0;
    disk *on = nullptr;
    std::uint64_t start = 0, sectors = 0;  // in the whole disk
    std::uint32_t fs_type = 0;
    std::uint8_t attach_flags = 0;
    std::vector<extent> metadata;
    std::set<std::uint64_t> changelog;     // 4 KiB blocks changed, counted from the device start
    std::array<store, 3> stores;
    std::unique_ptr<snapshot> snap;
};

struct quirks {
    bool overcount = false, unterminated = false, changelog_twice = false, changelog_excess = false,
         no_fs_type = false;
    std::optional<std::uint64_t> eio_from;  // snapshot sector from which reads fail
    std::uint64_t slow_reads_us = 0;         // a pause before every snapshot read
    std::uint64_t changelog_omit = 0;        // changed blocks a new snapshot's changelog leaves out
};

struct state {
    // Held by FUSE threads for every disk write and snapshot read, and by the request handler only
    // around the switches, never across a freeze or a losetup.
    std::mutex mu;
    std::map<int, std::unique_ptr<disk>> disks;
    std::map<dev_t, std::unique_ptr<device>> devices;
    std::map<int, snapshot *> snaps;
    std::map<std::uint32_t, std::pair<int, int>> faults;  // nr -> value, remaining
    quirks quirk;
    int next_disk = 0, next_snap = 0;
};

state &global();

void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// FUSE side.
int fuse_start();
void fuse_stop();
void disk_write_hook(disk &d, std::uint64_t off, const char *buf, std::size_t n);

// Commands from `qvsim` and requests from the shim; answer the errno value.
int handle_command(const std::string &line, std::string &out);
int handle_request(std::uint32_t code, std::string &block);
std::string dump_text(bool extents);
void teardown();

}  // namespace qvsim
