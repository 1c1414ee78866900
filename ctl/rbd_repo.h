// SPDX-License-Identifier: GPL-2.0-or-later
// A backup repository in a Ceph pool: the RBD image NAME is the latest point, each restore point a
// snapshot of it named after the point's number; NAME.quorvex-sums holds the checksum of each
// 4 KiB block (one little-endian u64 each) and is snapshotted with it; the manifest, one JSON line
// per run, lives in NAME's metadata. A backup holds NAME's exclusive lock for its whole run.
#pragma once

#include <cstdint>
#include <string>

#include "block_io.h"
#include "chain_manifest.h"
#include "rbd_client.h"
#include "repo.h"

namespace qvctl_cli {

struct rbd_repo : chain_points {
    rbd_ref ref;
    std::string label;  // "rbd:POOL/NAME"
    rbd_pool pool;
    rbd_image head, sums;

    // Connects and reads the manifest. A writer takes the lock (EBUSY naming the holder), creates
    // the images when `create` finds none, and finishes what a cut run left: a latest point half
    // patched is rolled back to its snapshot, snapshots of no recorded point are removed.
    int open(const std::string &text, const ceph_options &how, repo_access access, qvctl_status &st);
    bool save(qvctl_status &st);
    std::string sums_name() const { return ref.name + sums_suffix; }
    // The snapshot of point `number`.
    static std::string snap(std::uint64_t number) { return std::to_string(number); }
    // Marks the head as being patched (before its first write) or sound again.
    int dirty(bool on, qvctl_status &st);
    // The head and its sums put back as point `number` had them.
    int rollback(std::uint64_t number, qvctl_status &st);
    // Snapshots of both images whose number is no point of the manifest, removed.
    int stray_snaps_remove(qvctl_status &st);
    // The checksums of `image` (the sums image, head or snapshot) of `bytes` bytes, through a window.
    static sums_io sums_of(rbd_image &image, std::uint64_t bytes);

    static constexpr const char sums_suffix[] = ".quorvex-sums";
    static constexpr const char manifest_key[] = "quorvex.manifest";
    static constexpr const char dirty_key[] = "quorvex.dirty";
    static constexpr const char holder_key[] = "quorvex.holder";
};

// Bytes of the sums image for a device of `bytes` bytes.
constexpr std::uint64_t rbd_sums_bytes(std::uint64_t bytes)
{
    const std::uint64_t raw = (bytes + repo_block - 1) / repo_block * sizeof(std::uint64_t);
    return (raw + repo_block - 1) / repo_block * repo_block;
}

}  // namespace qvctl_cli
