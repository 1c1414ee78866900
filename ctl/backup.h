// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl backup: one backup of a device into a repository, from the snapshot start to its
// completion; each that succeeds is the repository's newest restore point.
#pragma once

#include <cstdint>

namespace qvctl_cli {

struct ceph_options;

struct backup_request {
    const char *device = nullptr;
    const char *repo = nullptr;
    bool verify = false;
    // Compare every block with its checksum and patch those that differ, instead of trusting the changelog.
    bool resync = false;
    // Blocks the changelog did not list, compared after an incremental copy; 0 for none.
    std::uint64_t spot_check = 1024;
    bool json = false;
    int workers = 1;
    // How to reach Ceph, for a repository there; null for its defaults.
    const ceph_options *ceph = nullptr;
    // Called between the copy and the read-back, for tests that change the image behind the copy's back.
    void (*before_verify)(const char *image, void *context) = nullptr;
    void *context = nullptr;
};

// The exit status of the backup.
int backup_run(const backup_request &request);

}  // namespace qvctl_cli
