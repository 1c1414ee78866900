// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fs/fs_type.h"

#include <blkid.h>

#include <cstdio>
#include <memory>

namespace {

struct probe_free {
    void operator()(blkid_probe pr) const noexcept { blkid_free_probe(pr); }
};
using unique_probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, probe_free>;

}  // namespace

namespace qv {

// A probe of the device itself, never libblkid's cache: the cache answers for a device seen in the
// last seconds with what it held then, and a filesystem made a moment ago must be seen as it is.
bool fs_type_name_probe(const char *device, std::span<char> out)
{
    if (out.empty())
        return false;
    out[0] = '\0';
    if (!device)
        return false;
    unique_probe pr(blkid_new_probe_from_filename(device));
    if (!pr)
        return false;
    blkid_probe_enable_superblocks(pr.get(), 1);
    blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_TYPE);
    const char *type = nullptr;
    if (blkid_do_safeprobe(pr.get()) != 0 || blkid_probe_lookup_value(pr.get(), "TYPE", &type, nullptr) != 0 ||
        !type)
        return false;
    std::snprintf(out.data(), out.size(), "%s", type);
    return true;
}

}  // namespace qv

extern "C" fs_type fs_type_detect(const char *device)
{
    char name[32];
    qv::fs_type_name_probe(device, name);  // left empty, which is no type, when nothing is found
    return qv::fs_type_from_name(name);
}
