// SPDX-License-Identifier: LGPL-2.1-or-later
#include "btrfs/format/layout.h"

#include <algorithm>

namespace qv::btrfs::super {

bool magic_ok(bytes sb)
{
    const bytes m = magic(sb);
    return m.size() == sizeof magic_text && std::equal(m.begin(), m.end(), std::begin(magic_text));
}

}  // namespace qv::btrfs::super
