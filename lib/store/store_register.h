// SPDX-License-Identifier: LGPL-2.1-or-later
/* Registration of the store files with the module: their extents in whole-disk sectors, in batches. */
#ifndef QV_STORE_REGISTER_H
#define QV_STORE_REGISTER_H

#include "qvctl.h"
#include "store/extent_map.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Maps the store's pieces (job->path, then job->path with "-N") and sends their extents. */
int store_map_register(store_map_job *job, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
