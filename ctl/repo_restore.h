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

struct restore_request {
    std::string repo, target;
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
int repo_check(const std::string &repo, std::uint64_t point, int workers, bool progress, check_result &out,
               qvctl_status &st);

struct prune_result {
    std::vector<std::uint64_t> removed, kept;
    std::uint64_t freed = 0;
};
// Keeps the newest `keep` points (at least the latest). The manifest is rewritten first, so a cut
// prune leaves each point whole or gone; files of points that are gone are removed after it.
int repo_prune(const std::string &repo, std::uint64_t keep, prune_result &out, qvctl_status &st);

// A point mounted read-only at `dir`: the latest over the image itself, an older one over a clone
// of it (where the repository's filesystem clones files) with its deltas applied.
int repo_mount(const std::string &repo, std::uint64_t point, const std::string &dir, std::string &device,
               qvctl_status &st);
int repo_umount(const std::string &dir, qvctl_status &st);

}  // namespace qvctl_cli
