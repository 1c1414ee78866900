// SPDX-License-Identifier: LGPL-2.1-or-later
/* Single changelog requests, for the count, the iteration and the list. */
#ifndef QV_CHANGELOG_REQUEST_H
#define QV_CHANGELOG_REQUEST_H

#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The answered request block (caller frees) or null. */
void *changelog_request(uint64_t start, uint32_t capacity, const char *path, qvctl_status *st);
/* A block holding at least one entry, or null for a failed request or an empty answer. */
void *changelog_chunk_get(uint64_t start, const char *path, qvctl_status *st);
int changelog_list_append(const qvctl_changelog_entry *entry, uint32_t total, void *holder, qvctl_status *st);

#ifdef __cplusplus
}
#endif

#endif
