#include "fs/fs_type.h"

#include <blkid.h>

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
std::string fs_type_name_probe(const char *device)
{
    if (!device)
        return {};
    unique_probe pr(blkid_new_probe_from_filename(device));
    if (!pr)
        return {};
    blkid_probe_enable_superblocks(pr.get(), 1);
    blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_TYPE);
    const char *type = nullptr;
    if (blkid_do_safeprobe(pr.get()) != 0 || blkid_probe_lookup_value(pr.get(), "TYPE", &type, nullptr) != 0 ||
        !type)
        return {};
    return type;
}

}  // namespace qv

extern "C" fs_type fs_type_detect(const char *device)
{
    return qv::fs_type_from_name(qv::fs_type_name_probe(device));
}
