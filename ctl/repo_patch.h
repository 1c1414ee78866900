// SPDX-License-Identifier: GPL-2.0-or-later
// How a backup changes the image: a base writes the snapshot's blocks that are not zeros into an
// image sized by ftruncate; a later backup gathers the blocks it will overwrite into batches, saves
// their old content in the delta and makes it durable, and only then patches the image, so that
// memory stays bounded by a batch whatever the device or the number of changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup_store.h"
#include "block_io.h"
#include "progress_meter.h"
#include "qvctl.h"

namespace qvctl_cli {

class delta_writer;

struct patch_files {
    int snapshot = -1, image = -1;
    std::string snapshot_name, image_name;
    std::uint64_t size = 0;  // bytes of the device and of the image
    progress_meter *progress = nullptr;
};

// The whole snapshot into an empty image and its sums, with `workers` workers over contiguous
// ranges. The image is sized first, so blocks of zeros are never written.
int base_copy(const patch_files &f, int sums_fd, const std::string &sums_name, int workers, patch_counts &out,
              qvctl_status &st);

class patcher {
public:
    patcher(const patch_files &f, sums_file &sums, delta_writer &delta);
    // Blocks that the changelog lists: patched whatever they hold.
    int listed(std::uint64_t first, std::uint64_t count, qvctl_status &st);
    // Every block compared with its checksum; those that differ are patched.
    int resync(qvctl_status &st);
    // The last batch saved and patched, the image's blocks and sums written out.
    int finish(qvctl_status &st);
    const patch_counts &counts() const { return counts_; }
    std::uint64_t differing = 0;

private:
    int add(std::uint64_t block, const unsigned char *content, qvctl_status &st);
    int flush(qvctl_status &st);

    const patch_files &f_;
    sums_file &sums_;
    delta_writer &delta_;
    block_buffer fresh_, old_;
    std::vector<std::uint64_t> blocks_;
    patch_counts counts_;
    bool scanning_ = false;  // a resync counts progress by blocks compared, not patched
};

// Whether the snapshot's block equals its checksum in the repository (the spot check's test).
int snapshot_block_matches(const patch_files &f, sums_file &sums, std::uint64_t block, bool &matches,
                           qvctl_status &st);

// Reads the image back over blocks [first, first + count) and compares it with the snapshot and
// with the sums; the first differing block's sector in `sector`, counted in `differing`.
int image_compare(const patch_files &f, sums_file &sums, std::uint64_t first, std::uint64_t count,
                  std::uint64_t &differing, std::uint64_t &sector, qvctl_status &st);

}  // namespace qvctl_cli
