// SPDX-License-Identifier: LGPL-2.1-or-later
// Where module requests go: the control device, or a module of a test's own in the same process.
#pragma once

#include <cstdint>

#include "qvctl.h"

namespace qv {

// Answers a request in place of the control device: writes the answer into `block` and returns 0,
// or stores and returns the code of a refusal.
struct request_handler {
    int (*answer)(void *ctx, std::uint32_t code, void *block, const char *device, qvctl_status *st);
    void *ctx;
};

// Sends every later request to `h` (which must outlive its use); null sends them to the control
// device again. Returns the handler it replaces.
const request_handler *request_channel_set(const request_handler *h) noexcept;

// One request to the control device itself, whatever handler is set: for a handler that passes
// requests on.
int request_device_send(std::uint32_t code, void *block, const char *device, qvctl_status *st);

}  // namespace qv
