// SPDX-License-Identifier: GPL-2.0-or-later
// A small file replaced whole: written to a new file of its own in the same folder and renamed
// over the old one, so that a crash leaves the old text or the new, and a link planted at any name
// is never written through.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "qvctl.h"

namespace qvctl_cli {

// False (status set, naming `path`) when the text could not be put in place.
bool file_replace(const std::string &path, std::string_view text, mode_t mode, qvctl_status &st);


}  // namespace qvctl_cli
