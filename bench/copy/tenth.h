// SPDX-License-Identifier: GPL-2.0-or-later
/* The blocks of the incremental case: about one in ten, scattered over the device by a
 * multiplicative hash, the same for the reference copier and for qvsnap's changelog. */
#ifndef QV_BENCH_TENTH_H
#define QV_BENCH_TENTH_H

#include <stdint.h>

static inline int tenth_picks(uint64_t block)
{
    return (uint32_t)(block * 2654435761u) % 10u == 0;
}

#endif
