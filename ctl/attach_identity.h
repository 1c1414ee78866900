// SPDX-License-Identifier: GPL-2.0-or-later
// The attach identity: a random value that `qvctl attach` records for each device it attaches, in a
// folder that lives as long as the boot, and that `qvctl detach` removes. A backup records the
// identity it ran under; another one at the next backup means the device went untracked between.
#pragma once

#include <string>

#include "qvctl.h"

namespace qvctl_cli {

// Records a new identity for the device; false (status set) when it could not.
bool attach_identity_record(const char *device, qvctl_status &st);
void attach_identity_remove(const char *device);
// The device's recorded identity, or "" when there is none.
std::string attach_identity_read(const char *device);

}  // namespace qvctl_cli
