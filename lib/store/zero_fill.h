// SPDX-License-Identifier: LGPL-2.1-or-later
/* Large runs of zeros: a buffer that shrinks under memory pressure, and a zero writer. */
#ifndef QV_ZERO_FILL_H
#define QV_ZERO_FILL_H

#include <stdbool.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZERO_FILL_CHUNK_MAX 367001600ull
#define ZERO_FILL_GRANULE 512ull

/* The largest buffer up to *size that memory allows, halving on failure; *size gets the last size
 * tried. granule must not be 0. */
void *buffer_alloc_shrinking(uint64_t *size, uint64_t granule, bool zeroed);
/* Writes length zero bytes at fd's current offset. */
int file_zero_fill(int fd, uint64_t length, qvctl_status *status);

#ifdef __cplusplus
}
#endif

#endif
