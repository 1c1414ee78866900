// SPDX-License-Identifier: GPL-2.0-or-later
// What the repository's readers and maintenance do: a point written back, the repository checked
// against its checksums, old points pruned, a point mounted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvctl.h"
#include "repo_read.h"

namespace qvctl_cli {

struct ceph_options;

struct restore_request {
    std::string repo, target;
    const ceph_options *ceph = nullptr;  // how to reach Ceph, for a repository there
    std::uint64_t point = 0;  // 0 for the latest
    int workers = 1;
    bool progress = false;
};

struct restore_result {
    std::uint64_t point = 0, bytes = 0, data_blocks = 0, zero_blocks = 0;
    bool device = false;
};

int repo_restore(const restore_request &req, restore_result &out, qvctl_status &st);

struct check_result {
    std::vector<std::uint64_t> points;  // checked, oldest first
    std::uint64_t blocks = 0, damaged = 0;
    std::vector<damage> first_damaged;
};
// Every block of the points from `point` (0: all of them) to the latest; repo_damaged when any
// differs from its checksum.
int repo_check(const std::string &repo, const ceph_options *ceph, std::uint64_t point, int workers, bool progress,
               check_result &out, qvctl_status &st);

struct prune_result {
    std::vector<std::uint64_t> removed, kept;
    std::uint64_t freed = 0;
};
// Keeps the newest `keep` points (at least the latest). The manifest is rewritten first, so a cut
// prune leaves each point whole or gone; files of points that are gone are removed after it.
int repo_prune(const std::string &repo, const ceph_options *ceph, std::uint64_t keep, prune_result &out,
               qvctl_status &st);

// Which points keeping the newest `keep` (at least 1) removes and keeps, in `out`; the oldest kept,
// or null when none goes.
const chain_record *prune_plan(const chain_points &r, std::uint64_t keep, prune_result &out);

// The same for a repository in Ceph: points read from the image's snapshots, pruned with them.
int rbd_restore(const restore_request &req, restore_result &out, qvctl_status &st);
int rbd_check(const std::string &repo, const ceph_options &ceph, std::uint64_t point, bool progress,
              check_result &out, qvctl_status &st);
int rbd_prune(const std::string &repo, const ceph_options &ceph, std::uint64_t keep, prune_result &out,
              qvctl_status &st);

// Where a point is written back: a file (emptied, sized, zeros left as holes) or a block device
// (checked to be free and big enough). `repo` is the folder it must not lie in, or null.
struct restore_target {
    qv::unique_fd fd;
    bool device = false;
    std::string name;
};
int restore_target_open(const repo *r, const std::string &path, std::uint64_t size, restore_target &t,
                        qvctl_status &st);
// Blocks [first, first + n) of a point of `size` bytes written: runs of data written, runs of zeros
// left as holes or zeroed out; the blocks of data counted into `data_blocks`.
int restore_blocks(const restore_target &t, std::uint64_t size, std::uint64_t first, std::uint64_t n,
                   const unsigned char *data, std::uint64_t &data_blocks, qvctl_status &st);
// `length` bytes of zeros at `offset`: a hole in a file, zeroed out on a device.
int restore_zeros(const restore_target &t, std::uint64_t offset, std::uint64_t length, qvctl_status &st);

// A point mounted read-only at `dir`: the latest over the image itself, an older one over a clone
// of it (where the repository's filesystem clones files) with its deltas applied.
int repo_mount(const std::string &repo, std::uint64_t point, const std::string &dir, std::string &device,
               qvctl_status &st);
int repo_umount(const std::string &dir, qvctl_status &st);

}  // namespace qvctl_cli
