// SPDX-License-Identifier: GPL-2.0-or-later
// The identity of what a chain is made of. An incremental patches only the listed blocks, so it is
// right only over the very image the last backup left and from the very device it read, tracked
// without a break since: an image that is another file, or a break in tracking, calls for a resync;
// another device or filesystem is refused, since a resync of it would only copy a stranger.
#include <blkid/blkid.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "attach_identity.h"
#include "backup_checks.h"
#include "qvctl_internal.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

constexpr const char *way_out = "take a base backup, or --resync to rewrite";

}  // namespace

void device_identity_note(const char *device, chain_record &rec)
{
    qvctl_status probe{};
    rec.sectors = device_size_sectors(device, &probe);
    char *uuid = blkid_get_tag_value(nullptr, "UUID", device);
    rec.uuid = uuid ? uuid : "";
    std::free(uuid);
    rec.attach = attach_identity_read(device);
}

void image_identity_note(int image_fd, chain_record &rec)
{
    struct stat sb;
    if (::fstat(image_fd, &sb) != 0)
        return;
    rec.image_dev = sb.st_dev;
    rec.image_ino = sb.st_ino;
    rec.image_size = static_cast<std::uint64_t>(sb.st_size);
    rec.image_mtime_ns = static_cast<std::uint64_t>(sb.st_mtim.tv_sec) * 1000000000ull +
                         static_cast<std::uint64_t>(sb.st_mtim.tv_nsec);
}

int chain_continuity(const char *device, const char *image, const std::vector<chain_record> &records,
                     const chain_record &now, int image_fd, bool resync, std::string &why, qvctl_status &st)
{
    const chain_record *last = nullptr, *left = nullptr, *unfinished = nullptr;
    for (const chain_record &r : records) {
        if (r.result == "succeeded") {
            last = &r;
            unfinished = nullptr;
        } else if (r.resync) {
            unfinished = &r;
        }
        if (r.image_ino)
            left = &r;
    }
    if (!last)
        return 0;  // refused by the caller: no base
    if (!last->uuid.empty() && now.uuid != last->uuid && !resync)
        return qvctl_status_set(&st, refused_by_chain,
                                "ERROR: %s holds filesystem UUID %s, but backup %llu of %s read UUID %s; %s %s from the "
                                "device",
                                device, now.uuid.empty() ? "(none)" : now.uuid.c_str(), static_cast<ull>(last->seq),
                                image, last->uuid.c_str(), way_out, image);
    if (last->sectors && now.sectors != last->sectors && !resync)
        return qvctl_status_set(&st, refused_by_chain,
                                "ERROR: %s has %llu sectors, but backup %llu of %s read %llu; %s %s from the device",
                                device, static_cast<ull>(now.sectors), static_cast<ull>(last->seq), image,
                                static_cast<ull>(last->sectors), way_out, image);
    // Failed and interrupted runs note the image too: they patched it from a snapshot whose blocks
    // the next run copies again. A run killed outright noted nothing, so its writes show here.
    chain_record file;
    image_identity_note(image_fd, file);
    const bool same_file = left && file.image_dev == left->image_dev && file.image_ino == left->image_ino &&
                           file.image_size == left->image_size && file.image_mtime_ns == left->image_mtime_ns;
    if (resync)
        why = "asked for with --resync";
    else if (unfinished)
        why = "backup " + std::to_string(unfinished->seq) + ", a resync, did not finish";
    else if (!left)
        why = "no backup recorded which file the image is";
    else if (!same_file)
        why = "the image is not the file that backup " + std::to_string(left->seq) +
              " left (another file, or changed since)";
    else if (now.attach.empty())
        why = "no attach identity of the device is recorded (attached by another program, or a reboot or module "
              "reload since)";
    else if (now.attach != last->attach)
        why = "the device was attached again since backup " + std::to_string(last->seq) +
              ", so its changes in between were not tracked";
    return 0;
}

}  // namespace qvctl_cli
