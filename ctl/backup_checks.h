// SPDX-License-Identifier: GPL-2.0-or-later
// What qvctl backup checks besides the copy: the target before anything is touched, the identity
// of what a chain is made of, and a sample of the blocks that the changelog did not list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chain_manifest.h"
#include "qvctl.h"

struct snap_options;

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

// IMAGE (and its manifest beside it) must not lie on the device or a partition of it, and a base
// needs room for the device beyond what IMAGE already holds. 0, or the refusal's code.
int backup_target_check(const char *device, const char *image, bool base, qvctl_status &st);

// The device's size in sectors and its filesystem's UUID ("" when it shows none).
void device_identity_note(const char *device, chain_record &rec);
// The image file as it is now: its filesystem, inode, size and modification time.
void image_identity_note(int image_fd, chain_record &rec);

// Whether an incremental over `records` can trust the changelog: `why` stays "" when it can, else
// says why it runs as a resync. A device that is not the one of the last successful backup is
// refused unless `resync` was asked for. `now` holds this run's device identities.
int chain_continuity(const char *device, const char *image, const std::vector<chain_record> &records,
                     const chain_record &now, int image_fd, bool resync, std::string &why, qvctl_status &st);

struct spot_result {
    std::uint64_t checked = 0, differing = 0, first_sector = 0;
};
// Compares up to `count` randomly chosen blocks that the held snapshot's changelog does not list.
// `o` names the device and the image and holds both descriptors.
int spot_check(snap_options &o, std::uint64_t count, spot_result &out);

}  // namespace qvctl_cli
