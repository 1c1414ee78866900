// SPDX-License-Identifier: LGPL-2.1-or-later
// Which stripe of a chunk lies on the device being mapped.
#include "btrfs/btrfs.h"
#include "btrfs/format/layout.h"

namespace fmt = qv::btrfs;

extern "C" uint64_t btrfs_chunk_physical(const uint8_t *chunk, uint32_t size, uint64_t devid)
{
    const qv::bytes c(chunk, size);
    const uint16_t stripes = fmt::chunk::num_stripes(c);
    // One stripe holds the whole chunk whatever the profile says.
    if (stripes > 1)
        for (const fmt::chunk::profile &p : fmt::chunk::profiles)
            if (p.spread && (fmt::chunk::type(c) & p.flag))
                return BTRFS_CHUNK_SPREAD;
    // Every stripe of the other profiles is a whole copy; dup keeps two on one device, either will do.
    for (uint16_t i = 0; i < stripes; ++i)
        if (fmt::chunk::stripe_devid(c, i) == devid)
            return fmt::chunk::stripe_offset(c, i);
    return BTRFS_CHUNK_ABSENT;
}
