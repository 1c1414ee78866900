// SPDX-License-Identifier: GPL-2.0-or-later
// What qvctl backup checks besides the copy: the target before anything is touched, the identity
// of what a repository is made of, and a sample of the blocks that the changelog did not list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chain_manifest.h"
#include "qvctl.h"

#include <sys/types.h>

namespace qvctl_cli {

struct backup_request;

// One backup, its record as it was written and its status; the exit code before reduction.
int backup_session_run(const backup_request &request, chain_record &rec, qvctl_status &st);

// Exit status of a backup refused for what the manifest says.
constexpr int refused_by_chain = 2;

// Attached, with all three stores mapped: else what is missing and the command that fixes it.
int device_ready(const char *device, qvctl_status &st);
// The name of the filesystem on the device, "unknown" when none is recognised.
std::string fs_name(const char *device);

// REPO must not lie on the device or a partition of it. 0, or the refusal's code.
int backup_target_check(const char *device, const char *repo, qvctl_status &st);
// Whether the filesystem device `on` is `device` or a partition of it.
bool lies_on(dev_t on, dev_t device);

// The device's size in sectors and its filesystem's UUID ("" when it shows none).
void device_identity_note(const char *device, chain_record &rec);

// Whether an incremental over `records` can trust the changelog: `why` stays "" when it can, else
// says why it runs as a resync. A device that is not the one of the last successful backup is
// refused unless `resync` was asked for. `now` holds this run's device identities.
int chain_continuity(const char *device, const char *repo, const std::vector<chain_record> &records,
                     const chain_record &now, bool resync, std::string &why, qvctl_status &st);

// `count` distinct block numbers among the `unlisted` blocks that the changelog does not list,
// as ranks (ascending); spot_sample_walk turns them into blocks as the changelog is walked.
std::vector<std::uint64_t> spot_ranks(std::uint64_t unlisted, std::uint64_t count);
// One step of that walk: every rank that falls before a run at `first` becomes its block in
// `out`; then the run's `count` blocks are counted as listed.
struct spot_walk {
    std::vector<std::uint64_t> ranks, blocks;
    std::size_t next = 0;
    std::uint64_t listed = 0;
    void run(std::uint64_t first, std::uint64_t count);
    // The ranks after the last run.
    void end(std::uint64_t device_blocks);
};

}  // namespace qvctl_cli
