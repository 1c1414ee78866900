/* libqvctl: user-space control of the quorvex block snapshot module. */
#ifndef QVCTL_H
#define QVCTL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QVCTL_API_VERSION 11u
#define QVCTL_MODULE_NAME "quorvex"
#define QVCTL_PATH_MAX_LEN 127
#define QVCTL_REQUEST_MIN_SIZE 528u

/* ---- status record and logging ---------------------------------------- */

typedef struct qvctl_status {
    uint32_t code;
    char message[256];
} qvctl_status;

int qvctl_status_set(qvctl_status *st, int code, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* `level` must stay valid for the life of the process. */
void qvctl_log_init(int *level);
void qvctl_log(int level, FILE *stream, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* ---- module request channel ------------------------------------------- */

/* The fixed head of every request block; the payload follows at byte 136. */
typedef struct qvctl_request {
    uint32_t version;
    uint32_t size;
    char device[128];
} qvctl_request;

typedef struct sector_extent {
    uint64_t start;
    uint64_t count;
} sector_extent;

#define QVCTL_REQ_CODE(nr) (0x82104200u + (nr))
#define QVCTL_REQ_ATTACH              QVCTL_REQ_CODE(0)
#define QVCTL_REQ_DETACH              QVCTL_REQ_CODE(1)
#define QVCTL_REQ_DEVICE_INFO         QVCTL_REQ_CODE(2)
#define QVCTL_REQ_DEVICE_LIST         QVCTL_REQ_CODE(3)
#define QVCTL_REQ_SNAPSHOT_START      QVCTL_REQ_CODE(4)
#define QVCTL_REQ_SNAPSHOT_COMPLETE   QVCTL_REQ_CODE(5)
#define QVCTL_REQ_SNAPSHOT_GET        QVCTL_REQ_CODE(6)
#define QVCTL_REQ_CHANGELOG           QVCTL_REQ_CODE(7)
#define QVCTL_REQ_STORE_MAP           QVCTL_REQ_CODE(8)
#define QVCTL_REQ_DATA_STORE_UNMAP    QVCTL_REQ_CODE(9)
#define QVCTL_REQ_KERNEL_EXTENTS      QVCTL_REQ_CODE(10)
#define QVCTL_REQ_STORE_EXTENTS       QVCTL_REQ_CODE(11)
#define QVCTL_REQ_DUMP                QVCTL_REQ_CODE(12)
#define QVCTL_REQ_RESTORE             QVCTL_REQ_CODE(13)
#define QVCTL_REQ_RESET               QVCTL_REQ_CODE(14)

void qvctl_request_init(void *block);
uint32_t qvctl_ioctl(uint32_t code, void *block, const char *device, qvctl_status *st);
uint32_t qvctl_error_translate(qvctl_status *st, int value, const char *device);
uint32_t qvctl_path_check(const char *path, qvctl_status *st);
void *qvctl_request_grow(void *block, uint64_t old_size, uint64_t new_size, qvctl_status *st);
uint64_t qvctl_fit_count(uint64_t total, uint64_t header, uint64_t item);
int qvctl_version_get(char *buf, size_t len);
uint32_t qvctl_swap32(uint32_t v);
uint64_t qvctl_swap64(uint64_t v);

/* ---- snapshot device lookup ------------------------------------------- */

/* `snap_path` must hold 4096 bytes. */
uint32_t qvctl_snapshot_get(const char *path, char *snap_path, qvctl_status *st);

/* ---- devices and snapshots -------------------------------------------- */

#define DEVICE_FLAG_DATA_STORE_MAPPED 4u

/* Four texts written by the module and passed on unread, then the state word. 516 bytes. */
typedef struct qvctl_device {
    char text[4][128];
    uint32_t state;
} qvctl_device;

/* One heap block: the count, then `count` records of 516 bytes back to back (unaligned: read them
 * with qvctl_device_list_record). */
typedef struct qvctl_device_list {
    uint8_t count;
    unsigned char records[];
} qvctl_device_list;

uint32_t qvctl_device_attach(const char *path, qvctl_status *st);
uint32_t qvctl_device_detach(const char *path, qvctl_status *st);
qvctl_device *qvctl_device_info_get(const char *path, qvctl_status *st);
void qvctl_device_info_free(qvctl_device *rec);
/* Null with st->code 0 when no device is attached. */
qvctl_device_list *qvctl_device_list_get(qvctl_status *st);
void qvctl_device_list_free(qvctl_device_list *list);
/* Copies record `i` into `out`; 0, or 22 when `i` is beyond the count. */
uint32_t qvctl_device_list_record(const qvctl_device_list *list, unsigned i, qvctl_device *out);
/* `snap_path` holds 4096 bytes or is null. */
uint32_t qvctl_snapshot_start(const char *path, char *snap_path, uint8_t flags, qvctl_status *st);
uint32_t qvctl_snapshot_complete(const char *path, qvctl_status *st);
uint32_t qvctl_snapshot_cancel(const char *path, qvctl_status *st);
uint32_t qvctl_kernel_dump(const char *path, qvctl_status *st);
uint32_t qvctl_device_restore(const char *device, const char *target, qvctl_status *st);
uint32_t qvctl_device_reset(const char *path, qvctl_status *st);

/* ---- changelog -------------------------------------------------------- */

/* One run of changed 4 KiB blocks; block k begins at sector start + 8k. */
typedef struct qvctl_changelog_entry {
    uint64_t start;
    uint64_t count;
} qvctl_changelog_entry;

typedef struct qvctl_changelog_stats {
    uint32_t chunks;
    uint32_t entries;
    uint32_t blocks;
} qvctl_changelog_stats;

/* A list item as packed in `qvctl_changelog`: 12 bytes, read it with memcpy. */
typedef struct __attribute__((packed)) qvctl_changelog_range {
    uint64_t start;
    uint32_t count;
} qvctl_changelog_range;

/* A u64 count n followed by n packed `qvctl_changelog_range` items at byte 8 + 12i. */
typedef struct qvctl_changelog qvctl_changelog;

typedef int (*qvctl_changelog_cb)(const qvctl_changelog_entry *entry, uint32_t total, void *ctx,
                                  qvctl_status *st);

#define QVCTL_CHANGELOG_CHUNK 247u

uint32_t qvctl_changelog_count(const char *path, qvctl_status *st);
qvctl_changelog_stats *qvctl_changelog_iterate(const char *path, uint32_t total, qvctl_changelog_cb cb,
                                               void *ctx, qvctl_status *st);
qvctl_changelog *qvctl_changelog_get(const char *path, qvctl_status *st);
void qvctl_changelog_free(qvctl_changelog *list);

/* ---- stores: location, sizing and files ------------------------------ */

/* Store kinds, as the module numbers them. */
#define STORE_CHANGELOG 0u
#define STORE_DATA 1u
#define STORE_METADATA 2u

/* The store files live in ".quorvex" at the device's mount point, each store as one file or, where
 * the filesystem limits file size, as pieces NAME, NAME-1, NAME-2, ... */
int qvctl_changelog_store_create(const char *device, qvctl_status *st);
int qvctl_changelog_store_reset(const char *device, qvctl_status *st);
int qvctl_changelog_store_check(const char *device, qvctl_status *st);
/* `size` in bytes wins when non-zero; else `percentage` of the device (0 for 15). */
int qvctl_data_store_create(const char *device, uint64_t size, double percentage, qvctl_status *st);
int qvctl_data_store_check(const char *device, uint64_t size, double percentage, qvctl_status *st);

/* ---- stores: extent maps ---------------------------------------------- */

/* How a store file's extents are found: FIEMAP, then FIBMAP, then marking, or one of them alone. */
#define MAP_METHOD_AUTO 0u
#define MAP_METHOD_FIEMAP 1u
#define MAP_METHOD_FIBMAP 2u
#define MAP_METHOD_KERNEL 3u

/* One heap block: the count, then (first block, number of blocks) pairs in units of the filesystem's
 * block size, relative to the partition. */
typedef struct fs_block_extent {
    uint64_t first;
    uint64_t count;
} fs_block_extent;

typedef struct fs_block_map {
    uint64_t count;
    fs_block_extent extents[];
} fs_block_map;

/* The blocks that `path` occupies on the filesystem of `device`. */
fs_block_map *qvctl_fs_block_map_get(const char *device, const char *path, qvctl_status *st);
void qvctl_fs_block_map_free(fs_block_map *map);

/* ---- stores: registration --------------------------------------------- */

/* Batch flags of a store-map request; the first batch also carries the store's own flags. */
#define MAP_FLAG_FIRST 1u
#define MAP_FLAG_NEXT 2u
#define MAP_FLAG_LAST 4u
#define MAP_FLAG_METADATA_OPT 8u
/* Extents per store-map request: qvctl_fit_count(4096, 152, 16). */
#define STORE_MAP_BATCH_MAX 246u

/* One heap block: the count, then the extents as the module reports them (whole-disk sectors). */
typedef struct store_extent_list {
    uint64_t count;
    sector_extent extents[];
} store_extent_list;

/* `method` is one of MAP_METHOD_*; `chunk` the marking chunk of the kernel method (0: default). */
int qvctl_changelog_store_register_ex(const char *device, uint32_t method, uint64_t chunk, qvctl_status *st);
int qvctl_changelog_store_register(const char *device, qvctl_status *st);
int qvctl_data_store_register_ex(const char *device, uint32_t method, uint64_t chunk, qvctl_status *st);
int qvctl_data_store_register(const char *device, qvctl_status *st);
/* `flags` 0 or MAP_FLAG_METADATA_OPT; a missing or damaged metadata store is made afresh. */
int qvctl_metadata_store_register_ex(const char *device, uint32_t method, uint64_t chunk, uint32_t flags,
                                     qvctl_status *st);
int qvctl_metadata_store_register(const char *device, qvctl_status *st);
int qvctl_metadata_store_register_opt(const char *device, qvctl_status *st);
int qvctl_data_store_unmap(const char *device, qvctl_status *st);
store_extent_list *qvctl_store_extents_get(const char *device, uint32_t kind, qvctl_status *st);
store_extent_list *qvctl_changelog_store_extents_get(const char *device, qvctl_status *st);
store_extent_list *qvctl_data_store_extents_get(const char *device, qvctl_status *st);
store_extent_list *qvctl_metadata_store_extents_get(const char *device, qvctl_status *st);
void qvctl_store_extents_free(store_extent_list *list);

#ifdef __cplusplus
}
#endif

#endif
