// SPDX-License-Identifier: LGPL-2.1-or-later
/* Btrfs logical-to-device address translation through the chunk tree. */
#ifndef QVCTL_BTRFS_H
#define QVCTL_BTRFS_H

#include <linux/fiemap.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The whole superblock: its checksum covers all of it. */
#define BTRFS_SUPER_READ_SIZE 4096u

/* One chunk: its logical range and the device offset of its copy on the device being mapped. */
typedef struct chunk_map_entry {
    uint64_t logical;
    uint64_t physical;
    uint64_t length;
} chunk_map_entry;

/* Device offsets that no stripe has, recorded for a chunk that keeps no whole copy on the device being
   mapped: its addresses are refused instead of translated into another device's data. */
#define BTRFS_CHUNK_SPREAD UINT64_MAX          /* its profile cuts the data into stripes over devices */
#define BTRFS_CHUNK_ABSENT (UINT64_MAX - 1u)   /* none of its stripes is on the device */

/* The root of a tsearch tree of chunk_map_entry records; starts as null. */
typedef void *chunk_map;

/* Called for every chunk found with its copy's offset on the device being mapped (or one of the
   BTRFS_CHUNK_* values); a non-zero answer stops the walk and becomes its result. */
typedef int (*btrfs_chunk_cb)(chunk_map *map, uint64_t logical, uint64_t physical, uint64_t length,
                                   qvctl_status *st);

/* The map `in` with every extent's btrfs logical address rewritten to a device address and cut where a
   chunk ends, each piece translated through its own chunk: a new heap map into *out (caller frees) and 0,
   or a code with `in` untouched and *out unset. */
int btrfs_map_translate(const char *device, const struct fiemap *in, struct fiemap **out, qvctl_status *st);

int btrfs_super_read(int fd, uint8_t *super, qvctl_status *st);
int btrfs_pread_full(int fd, void *buf, uint32_t count, uint64_t offset, qvctl_status *st);
/* A node buffer: a u32 holding the node size, then the node's bytes; released with free. */
uint8_t *btrfs_node_alloc(uint32_t size, qvctl_status *st);
int btrfs_node_read(int fd, uint8_t **node, uint64_t logical, uint32_t size, chunk_map *map,
                         qvctl_status *st);
/* 0 when the node read from `logical` names that address and this filesystem, has a level below 8
   and its checksum holds; else 9 with a message naming the failed check and the address. */
int btrfs_node_check(const uint8_t *super, const uint8_t *node, uint64_t logical, qvctl_status *st);
uint32_t btrfs_node_size(const uint8_t *super, uint8_t level);
uint32_t btrfs_chunk_item_size(uint16_t num_stripes);
/* The device offset on device `devid` of a chunk item of `size` bytes (all its stripes), or one of
   BTRFS_CHUNK_SPREAD and BTRFS_CHUNK_ABSENT. */
uint64_t btrfs_chunk_physical(const uint8_t *chunk, uint32_t size, uint64_t devid);

int btrfs_sys_chunks_walk(const uint8_t *super, chunk_map *map, btrfs_chunk_cb cb, qvctl_status *st);
int btrfs_tree_walk(int fd, const uint8_t *super, const uint8_t *node, chunk_map *map, btrfs_chunk_cb cb,
                         qvctl_status *st);
int btrfs_leaf_walk(const uint8_t *node, uint64_t devid, btrfs_chunk_cb cb, chunk_map *map, qvctl_status *st);

int chunk_map_insert(chunk_map *map, uint64_t logical, uint64_t physical, uint64_t length,
                          qvctl_status *st);
int chunk_map_compare(const void *a, const void *b);
/* Meaningful for addresses that chunk_map_locate accepts. */
uint64_t chunk_map_translate(chunk_map *map, uint64_t address);
/* The device offset of `address` into *physical, or 9 with a message that begins with `where` when
   its chunk keeps no whole copy on the device. */
int chunk_map_locate(chunk_map *map, uint64_t address, const char *where, uint64_t *physical,
                          qvctl_status *st);
/* 1 with the entry whose range holds `address` (as the lookups find it) copied into *found, else 0. */
int chunk_map_find(chunk_map *map, uint64_t address, chunk_map_entry *found);
/* 1 with the lowest chunk start above `address` in *start, else 0. */
int chunk_map_next_start(chunk_map *map, uint64_t address, uint64_t *start);
/* The map `in` translated as btrfs_map_translate does, through `chunks`, failures naming `where`. */
int chunk_map_split(chunk_map *chunks, const struct fiemap *in, const char *where, struct fiemap **out,
                         qvctl_status *st);
void chunk_map_free(chunk_map *map);
void chunk_map_dump(chunk_map *map);

#ifdef __cplusplus
}
#endif

#endif
