// SPDX-License-Identifier: GPL-2.0-or-later
// The changelog answers of the in-process module, under the name the copy engine's tests know.
#pragma once

#include "fake_module.h"

namespace qvtest {
using fake_changelog = fake_module;
}  // namespace qvtest
