// SPDX-License-Identifier: LGPL-2.1-or-later
#include "btrfs/format/layout.h"

#include <algorithm>

namespace qv::btrfs::super {

bool magic_ok(bytes sb)
{
    if (!fits<std::uint64_t>(sb.size(), magic_offset))
        return false;
    return std::equal(std::begin(magic_text), std::end(magic_text), sb.begin() + magic_offset);
}

}  // namespace qv::btrfs::super
