// SPDX-License-Identifier: GPL-2.0-or-later
// The manifest of a repository: one JSON line per backup run into it, oldest first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qvctl.h"

namespace qvctl_cli {

struct chain_record {
    std::uint64_t seq = 0;
    // The restore point a succeeded backup made, numbered from 1; 0 for any other run.
    std::uint64_t point = 0;
    std::string kind{};  // "base", "incremental" or "resync"
    std::string start{}, end{};
    std::string device{}, fs{}, snapshot{};
    std::uint64_t blocks = 0, bytes = 0;
    // What the point added to the repository on disk: the image's allocation for a base, the
    // saved old blocks for a later one.
    std::uint64_t disk_bytes = 0;
    bool verified = false;
    // "started" while the backup runs, then "succeeded", "failed", "interrupted" or "killed".
    std::string result{};
    long pid = 0;
    std::uint32_t code = 0;
    std::string message{};
    // What the repository is made of: the attach identity the backup ran under, the device's size
    // in sectors and its filesystem's UUID.
    std::string attach{};
    std::uint64_t sectors = 0;
    std::string uuid{};
    // A run that compared every block instead of trusting the changelog: why, and what it found.
    bool resync = false;
    std::string why{};
    std::uint64_t differing = 0;
    // Blocks that the changelog did not list, compared after an incremental copy.
    std::uint64_t spot_checked = 0;
};

std::string chain_record_json(const chain_record &r);
// A line that is no JSON object of ours answers nothing.
std::optional<chain_record> chain_record_parse(std::string_view line);

// The records as the manifest's text, one line each, and back; `name` names the text in a message.
std::string chain_text(const std::vector<chain_record> &records);
bool chain_parse(std::string_view text, const std::string &name, std::vector<chain_record> &out, qvctl_status &st);

// A repository's records, and the restore points among them.
struct chain_points {
    std::vector<chain_record> records;
    // The succeeded records, oldest first, and the newest of them (null when there is none).
    std::vector<const chain_record *> points() const;
    const chain_record *latest() const;
    const chain_record *point(std::uint64_t number) const;
};

// The records of the manifest; none when it does not exist. False (status set) when it can't be read.
bool chain_read(const std::string &path, std::vector<chain_record> &out, qvctl_status &st);
// Writes all records into a new file and renames it over the manifest, so that a crash leaves the
// old manifest or the new one, never a part of either.
bool chain_write(const std::string &path, const std::vector<chain_record> &records, qvctl_status &st);

// The current time in UTC, ISO 8601.
std::string utc_now();

}  // namespace qvctl_cli
