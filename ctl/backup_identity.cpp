// SPDX-License-Identifier: GPL-2.0-or-later
// The identity of what a repository is made of. An incremental patches only the listed blocks, so
// it is right only from the very device the last point read, tracked without a break since: a break
// in tracking calls for a resync; another filesystem is refused unless a resync is asked for, since
// it would only copy a stranger; another size is refused, since the points share one.
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

int chain_continuity(const char *device, const char *repo, const std::vector<chain_record> &records,
                     const chain_record &now, bool resync, std::string &why, qvctl_status &st)
{
    const chain_record *last = nullptr, *unfinished = nullptr;
    for (const chain_record &r : records) {
        if (r.result == "succeeded") {
            last = &r;
            unfinished = nullptr;
        } else if (r.resync) {
            unfinished = &r;
        }
    }
    if (!last)
        return 0;  // a base
    // Points of one repository share one size: a delta holds blocks of that size's image.
    if (last->sectors && now.sectors != last->sectors)
        return qvctl_status_set(&st, refused_by_chain,
                                "ERROR: %s has %llu sectors, but point %llu of %s has %llu; back it up into a new "
                                "repository",
                                device, static_cast<ull>(now.sectors), static_cast<ull>(last->point), repo,
                                static_cast<ull>(last->sectors));
    if (!last->uuid.empty() && now.uuid != last->uuid && !resync)
        return qvctl_status_set(&st, refused_by_chain,
                                "ERROR: %s holds filesystem UUID %s, but point %llu of %s read UUID %s; back it up into "
                                "a new repository, or use --resync to make it the next point of this one",
                                device, now.uuid.empty() ? "(none)" : now.uuid.c_str(), static_cast<ull>(last->point),
                                repo, last->uuid.c_str());
    if (resync)
        why = "asked for with --resync";
    else if (unfinished)
        why = "backup " + std::to_string(unfinished->seq) + ", a resync, did not finish";
    else if (now.attach.empty())
        why = "no attach identity of the device is recorded (attached by another program, or a reboot or module "
              "reload since)";
    else if (now.attach != last->attach)
        why = "the device was attached again since point " + std::to_string(last->point) +
              ", so its changes in between were not tracked";
    return 0;
}

}  // namespace qvctl_cli
