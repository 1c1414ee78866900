// SPDX-License-Identifier: LGPL-2.1-or-later
/* Copying device records out of the module's answers. */
#ifndef QVCTL_DEVICE_RECORD_H
#define QVCTL_DEVICE_RECORD_H

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bounded copies of the four texts, then the state word; either side may be unaligned. */
void device_record_copy(void *dst, const void *src);

#ifdef __cplusplus
}
#endif

#endif
