// SPDX-License-Identifier: GPL-2.0-or-later
// A backup repository: a folder whose `image` is always the newest restore point as a raw image,
// `sums` the checksum of each of its 4 KiB blocks, `manifest` one record per backup run, and
// `deltas/N.map` with `deltas/N.data` the content that point N had in the blocks the next backup
// overwrote. A backup saves that content, durably, before it patches the image, so that a run cut
// at any moment can be rolled back to the last point that the manifest records as succeeded.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chain_manifest.h"
#include "qvctl.h"
#include "unique_fd.h"

namespace qvctl_cli {

constexpr std::uint64_t repo_block = 4096;
constexpr std::uint64_t repo_block_sectors = repo_block / 512;
// Exit status of a block that differs from its checksum, or an image from its snapshot.
constexpr int repo_damaged = 9;

struct repo : chain_points {
    std::string path;
    qv::unique_fd dir, deltas, lock;
    qvctl_status st{};

    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string manifest() const { return file("manifest"); }
    bool save() { return chain_write(manifest(), records, st); }
};

enum class repo_access { read, write, create };

// Opens REPO (creating it 0700 with `create`): a folder that is no link and that no other user can
// write, locked for one run at a time unless only read. A writer first finishes what a cut run
// left: an image half patched is rolled back to the last succeeded point, and says so. 0 or a code.
int repo_open(repo &r, const std::string &path, repo_access access);

// Opens a file of the repository (`at` the folder or its deltas), never through a link.
int repo_file_open(const repo &r, int at, const std::string &name, int flags, qv::unique_fd &out);
std::string delta_name(std::uint64_t point, const char *ext);

// Rolls the image back with the delta that an interrupted backup was writing for the latest
// point, then removes it; 0 with the number of blocks put back, or a code.
int repo_rollback(repo &r, std::uint64_t &blocks);

// "REPO" or "REPO@N": the folder and the point (0 for the latest). False on a malformed number.
bool repo_ref_parse(const std::string &text, std::string &folder, std::uint64_t &point);

// The loop device that serves the file `sb` describes (a mounted point, say), or "".
std::string loop_serving(const struct stat &sb);

// Blocks of the device of `sectors` sectors, the last one possibly partial.
constexpr std::uint64_t blocks_of(std::uint64_t sectors) { return (sectors + repo_block_sectors - 1) / repo_block_sectors; }

// Bytes the repository's files take on disk for a point: the image and sums for the newest, its
// delta for an older one.
std::uint64_t point_disk_bytes(const repo &r, const chain_record &point);

}  // namespace qvctl_cli
