// SPDX-License-Identifier: GPL-2.0-or-later
// Where a backup keeps its points: a folder of this host or an image in Ceph. The run itself (the
// checks, the snapshot, the changelog, the record, the snapshot's end) is the same for both; what
// a store does is open itself for one writer, copy the snapshot into its latest point, read it
// back and undo a copy that failed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "chain_manifest.h"
#include "progress_meter.h"
#include "qvctl.h"

namespace qvctl_cli {

struct backup_request;

struct patch_counts {
    std::uint64_t blocks = 0;  // patched into the image
    std::uint64_t bytes = 0;   // written to it (zeros punched out are not)
};

// The snapshot being copied.
struct copy_source {
    int fd = -1;
    std::string name;
    std::uint64_t size = 0;  // bytes of the device and of the image
    progress_meter *progress = nullptr;
    int workers = 1;
};

// How a later backup changes the latest point, block by block.
class block_patcher {
public:
    virtual ~block_patcher() = default;
    // Blocks that the changelog lists: patched whatever they hold.
    virtual int listed(std::uint64_t first, std::uint64_t count, qvctl_status &st) = 0;
    // Every block compared with its checksum; those that differ are patched.
    virtual int resync(qvctl_status &st) = 0;
    // What is still pending written out.
    virtual int finish(qvctl_status &st) = 0;
    // Whether the snapshot's block equals its checksum in the store (the spot check's test).
    virtual int matches(std::uint64_t block, bool &same, qvctl_status &st) = 0;
    virtual patch_counts counts() const = 0;
    virtual std::uint64_t differing() const = 0;
};

class backup_store {
public:
    virtual ~backup_store() = default;
    // The records of the runs into the store.
    virtual chain_points &chain() = 0;
    // The store opened for this run alone, created when new, and whatever a cut run left undone.
    virtual int open(qvctl_status &st) = 0;
    virtual bool save(qvctl_status &st) = 0;
    // Ready to copy into the latest point: a base starts from nothing.
    virtual int prepare(bool base, qvctl_status &st) = 0;
    virtual int copy_base(const copy_source &src, patch_counts &counts, qvctl_status &st) = 0;
    // A later copy: `walk` hands the blocks to the patcher; the point's cost on disk in `disk_bytes`.
    virtual int copy_later(const copy_source &src, std::uint64_t last, bool resync,
                           const std::function<int(block_patcher &)> &walk, patch_counts &counts,
                           std::uint64_t &differing, std::uint64_t &disk_bytes, qvctl_status &st) = 0;
    virtual std::uint64_t base_disk_bytes() = 0;
    // The latest point read back against the snapshot and its checksums.
    virtual int compare(const copy_source &src, std::uint64_t &differing, std::uint64_t &sector, qvctl_status &st) = 0;
    // The point `number` made durable as a restore point, before the record says it is one.
    virtual int seal(std::uint64_t number, qvctl_status &st) = 0;
    // A copy that failed undone, back to the last point; false when that is left to the next run.
    virtual bool undo(qvctl_status &st) = 0;
    // The latest point's name for messages, and what a filesystem test hook is handed.
    virtual std::string image_name() const = 0;
};

std::unique_ptr<backup_store> folder_store(const backup_request &req);
std::unique_ptr<backup_store> ceph_store(const backup_request &req);

}  // namespace qvctl_cli
