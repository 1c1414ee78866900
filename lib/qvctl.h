// SPDX-License-Identifier: LGPL-2.1-or-later
/* libqvctl: user-space control of the quorvex block snapshot module.
 *
 * Conventions that hold for every operation below unless its comment says otherwise:
 * - The last argument is the caller's status record. It may be null; the code is still returned.
 * - Failure is told by the result: a non-zero code (the same code is stored in the record) or a null
 *   pointer. On failure the record holds the code and a one-line message; on success it is left as it
 *   was. Operations marked "clears the record" set it to code 0 and an empty message on entry.
 * - Every pointer handed back is a heap block owned by the caller and released with the release
 *   operation named in its comment. Release operations accept null.
 * - Codes are errno values, QVCTL_E* below, or the module's own codes reduced to their low 8 bits.
 * - The library never prints; only qvctl_log writes, when the caller asks it to. */
#ifndef QVCTL_H
#define QVCTL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QVCTL_API_VERSION 11u
#define QVCTL_MODULE_NAME "quorvex"
#define QVCTL_PATH_MAX_LEN 127
#define QVCTL_REQUEST_MIN_SIZE 528u

/* ---- status codes ------------------------------------------------------- */

/* The errno values the library itself stores. */
#define QVCTL_OK 0u
#define QVCTL_EPERM 1u       /* not root */
#define QVCTL_ENOENT 2u      /* no control device (module not loaded), no store file, no mount point */
#define QVCTL_EIO 5u         /* the module found no marked store file */
#define QVCTL_ENXIO 6u       /* device not suitable for a snapshot */
#define QVCTL_EBADDATA 9u    /* on-disk data failed a check (superblock, chunk tree, store piece) */
#define QVCTL_EAGAIN 11u     /* the device list kept changing */
#define QVCTL_ENOMEM 12u
#define QVCTL_ENOTBLK 15u    /* not a block device */
#define QVCTL_EBUSY 16u
#define QVCTL_EEXIST 17u     /* device already attached, store already mapped */
#define QVCTL_ENODEV 19u     /* device not attached */
#define QVCTL_EINVAL 22u     /* bad argument, path longer than QVCTL_PATH_MAX_LEN */
#define QVCTL_ENOSPC 28u     /* not enough free space for a store */
#define QVCTL_ERANGE 34u     /* impossible size */
#define QVCTL_ETIMEDOUT 110u /* the snapshot device did not show up in time */

/* The module's codes 700 to 711 as the status record holds them: their low 8 bits. */
#define QVCTL_MODULE_CODE(v) ((uint32_t)(v) & 0xffu)
#define QVCTL_EVERSION QVCTL_MODULE_CODE(700)        /* 188: interface version mismatch */
#define QVCTL_ESNAPSHOT_BUSY QVCTL_MODULE_CODE(701)  /* 189: a snapshot is in progress */
#define QVCTL_ENOSNAPSHOT QVCTL_MODULE_CODE(702)     /* 190: no snapshot found */
#define QVCTL_EDIRTY QVCTL_MODULE_CODE(703)          /* 191: the device is dirty */
#define QVCTL_EDATA_MAPPED QVCTL_MODULE_CODE(704)    /* 192: data store already mapped */
#define QVCTL_EMODULE_705 QVCTL_MODULE_CODE(705)     /* 193: also a store piece that fails its check */
#define QVCTL_ENOCHANGELOG QVCTL_MODULE_CODE(706)    /* 194: no changelog store mapped */
#define QVCTL_ENODATASTORE QVCTL_MODULE_CODE(707)    /* 195: no data store mapped */
#define QVCTL_ECHANGELOG_FULL QVCTL_MODULE_CODE(708) /* 196: changelog store full */
#define QVCTL_ENOMETADATA QVCTL_MODULE_CODE(709)     /* 197: no metadata store mapped */
#define QVCTL_EMODULE_710 QVCTL_MODULE_CODE(710)     /* 198 */
#define QVCTL_EDATA_SIZE QVCTL_MODULE_CODE(711)      /* 199: data store of the wrong size */

/* ---- status record and logging ---------------------------------------- */

typedef struct qvctl_status {
    uint32_t code;     /* 0 success, else a code as above */
    char message[256]; /* one line, NUL-terminated, no trailing newline */
} qvctl_status;

/* Stores `code` and the formatted message in `st` (when not null); returns `code`. Clearing a record
 * is qvctl_status_set(st, 0, "%s", ""). */
int qvctl_status_set(qvctl_status *st, int code, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Installs `*level` (a syslog priority, 0 to 7) as the console level and turns console output on.
 * `level` must stay valid for the life of the process; its value is read at every qvctl_log. */
void qvctl_log_init(int *level);
/* One line to syslog (ident "qvctl", facility LOCAL6) and, when within the console level, to
 * `stream`. Before the first qvctl_log_init nothing goes to the stream. */
void qvctl_log(int level, FILE *stream, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* ---- module request channel ------------------------------------------- */

/* The fixed head of every request block; the payload follows at byte 136. */
typedef struct qvctl_request {
    uint32_t version;
    uint32_t size;
    char device[128];
} qvctl_request;

/* Sectors of 512 bytes from the start of the whole disk. */
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

/* Zeroes the first 528 bytes of `block` and sets version 11 and size 528. */
void qvctl_request_init(void *block);
/* Sends one request to /dev/quorvex; `device` names the path in messages (null: none). Returns 0, or
 * the code also stored: the errno of stat or open unmasked, else as qvctl_error_translate. */
uint32_t qvctl_ioctl(uint32_t code, void *block, const char *device, qvctl_status *st);
/* Stores the message for a failed request's errno `value`; returns value & 255. */
uint32_t qvctl_error_translate(qvctl_status *st, int value, const char *device);
/* 0 when `path` is at most QVCTL_PATH_MAX_LEN characters, else QVCTL_EINVAL. */
uint32_t qvctl_path_check(const char *path, qvctl_status *st);
/* Grows a malloc'ed block to `new_size`, zeroing the new bytes; returns the block that replaces it,
 * or null (the old block then still belongs to the caller). Does not touch the size field. */
void *qvctl_request_grow(void *block, uint64_t old_size, uint64_t new_size, qvctl_status *st);
/* (total - header) / item, or 0 when total <= header. */
uint64_t qvctl_fit_count(uint64_t total, uint64_t header, uint64_t item);
/* Writes "libqvctl version: VERSION (API version 11)" into `buf` (at most `len` bytes); returns 0. */
int qvctl_version_get(char *buf, size_t len);
/* The value with its bytes reversed. */
uint32_t qvctl_swap32(uint32_t v);
uint64_t qvctl_swap64(uint64_t v);

/* ---- snapshot device lookup ------------------------------------------- */

/* Writes "/dev/NAME" of the snapshot held for `path` into `snap_path`, which holds 4096 bytes.
 * Returns 0 or a code (QVCTL_ENOSNAPSHOT when none is held). */
uint32_t qvctl_snapshot_get(const char *path, char *snap_path, qvctl_status *st);

/* ---- devices and snapshots -------------------------------------------- */

#define DEVICE_FLAG_DATA_STORE_MAPPED 4u

/* Four texts written by the module and passed on unread, then the state word. 516 bytes. */
typedef struct qvctl_device {
    char text[4][128];
    uint32_t state;
} qvctl_device;

#define QVCTL_DEVICE_RECORD_SIZE 516u

/* One heap block: a one-byte count, then `count` records of 516 bytes back to back from byte 1.
 * They are unaligned: read them with qvctl_device_list_record. */
#if defined(__clang__) && defined(__cplusplus)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif
typedef struct qvctl_device_list {
    uint8_t count;
    __extension__ unsigned char records[];
} qvctl_device_list;

/* Each returns 0 or a code. Attach clears the record. */
uint32_t qvctl_device_attach(const char *path, qvctl_status *st);
uint32_t qvctl_device_detach(const char *path, qvctl_status *st);
/* The device's record, released with qvctl_device_info_free; null on failure. */
qvctl_device *qvctl_device_info_get(const char *path, qvctl_status *st);
void qvctl_device_info_free(qvctl_device *rec);
/* Every attached device, released with qvctl_device_list_free. Clears the record; null with code 0
 * when no device is attached, null with a code on failure. At most 255 records. */
qvctl_device_list *qvctl_device_list_get(qvctl_status *st);
void qvctl_device_list_free(qvctl_device_list *list);
/* Copies record `i` into `out`; 0, or QVCTL_EINVAL when `i` is beyond the count. No status record. */
uint32_t qvctl_device_list_record(const qvctl_device_list *list, unsigned i, qvctl_device *out);
/* Takes a snapshot (freezing btrfs and version-5 xfs around it) and waits for its device, whose path
 * goes into `snap_path` (4096 bytes, or null). `flags` goes to the module unread. 0 or a code; after
 * success the record may still hold the message of a failed thaw. */
uint32_t qvctl_snapshot_start(const char *path, char *snap_path, uint8_t flags, qvctl_status *st);
/* End the snapshot: complete consumes its changelog, cancel merges it back. 0 or a code. */
uint32_t qvctl_snapshot_complete(const char *path, qvctl_status *st);
uint32_t qvctl_snapshot_cancel(const char *path, qvctl_status *st);
/* Asks the module to write its state for the device to its log. 0 or a code. */
uint32_t qvctl_kernel_dump(const char *path, qvctl_status *st);
/* Tells the module to restore `device` onto `target`. 0 or a code. */
uint32_t qvctl_device_restore(const char *device, const char *target, qvctl_status *st);
/* Drops the device's snapshot, stores and changelog in the module. 0 or a code. */
uint32_t qvctl_device_reset(const char *path, qvctl_status *st);

/* ---- changelog -------------------------------------------------------- */

/* One run of changed 4 KiB blocks; block k begins at sector start + 8k of the snapshotted device. */
typedef struct qvctl_changelog_entry {
    uint64_t start;
    uint64_t count;
} qvctl_changelog_entry;

/* What an iteration saw: requests answered, entries and blocks handed to the callback. */
typedef struct qvctl_changelog_stats {
    uint32_t chunks;
    uint32_t entries;
    uint32_t blocks;
} qvctl_changelog_stats;

/* A list item as packed in `qvctl_changelog`: 12 bytes, `count` being the low 32 bits. */
typedef struct __attribute__((packed)) qvctl_changelog_range {
    uint64_t start;
    uint32_t count;
} qvctl_changelog_range;

/* One heap block: a u64 count n, then n packed `qvctl_changelog_range` items at byte 8 + 12i. Read it
 * with qvctl_changelog_length and qvctl_changelog_item. */
typedef struct qvctl_changelog qvctl_changelog;

/* Called once per entry: `entry` is valid during the call only; `total` and `ctx` are what the
 * iteration was given; `st` is its status record. Non-zero stops the iteration, which then fails. */
typedef int (*qvctl_changelog_cb)(const qvctl_changelog_entry *entry, uint32_t total, void *ctx,
                                  qvctl_status *st);

#define QVCTL_CHANGELOG_CHUNK 247u

/* The number of changed blocks; 0 also on failure: clear the record first to tell them apart. */
uint32_t qvctl_changelog_count(const char *path, qvctl_status *st);
/* Pages through the changelog, 247 entries per request, calling `cb` for each entry in order.
 * `total` is handed to the callback unread (pass qvctl_changelog_count's answer). Returns the
 * statistics, released with free(); null on failure, after a refusing callback or when the
 * changelog is empty. Entries already handed over stay handed over. */
qvctl_changelog_stats *qvctl_changelog_iterate(const char *path, uint32_t total, qvctl_changelog_cb cb,
                                               void *ctx, qvctl_status *st);
/* The whole changelog as one list, released with qvctl_changelog_free. Null on failure and when the
 * changelog is empty: clear the record first to tell them apart. */
qvctl_changelog *qvctl_changelog_get(const char *path, qvctl_status *st);
void qvctl_changelog_free(qvctl_changelog *list);

/* The number of items in a list from qvctl_changelog_get. */
static inline uint64_t qvctl_changelog_length(const qvctl_changelog *list)
{
    uint64_t n;
    memcpy(&n, list, sizeof n);
    return n;
}

/* Item `i` (below qvctl_changelog_length) of a list, as an entry. */
static inline qvctl_changelog_entry qvctl_changelog_item(const qvctl_changelog *list, uint64_t i)
{
    qvctl_changelog_range r;
    qvctl_changelog_entry e;
    memcpy(&r, (const unsigned char *)list + 8 + 12 * i, sizeof r);
    e.start = r.start;
    e.count = r.count;
    return e;
}

/* ---- stores: location, sizing and files ------------------------------ */

/* Store kinds, as the module numbers them. */
#define STORE_CHANGELOG 0u
#define STORE_DATA 1u
#define STORE_METADATA 2u

/* The store files live in ".quorvex" at the device's mount point, each store as one file or, where
 * the filesystem limits file size, as pieces NAME, NAME-1, NAME-2, ...
 * Each operation here returns 0 or a code. */
/* Creates, sizes and zero-fills the changelog store. */
int qvctl_changelog_store_create(const char *device, qvctl_status *st);
/* Sizes and zero-fills the changelog store again, without the free-space check. */
int qvctl_changelog_store_reset(const char *device, qvctl_status *st);
/* 0 when every piece exists, has its size and is allocated; else the first failing piece's code. */
int qvctl_changelog_store_check(const char *device, qvctl_status *st);
/* Creates and allocates the data store. `size` in bytes wins when non-zero; else `percentage` of the
 * device (0 for 15). Clears the record; refuses with QVCTL_EDATA_MAPPED a store the module holds. */
int qvctl_data_store_create(const char *device, uint64_t size, double percentage, qvctl_status *st);
/* As the changelog check, against the data store's size for these arguments. */
int qvctl_data_store_check(const char *device, uint64_t size, double percentage, qvctl_status *st);

/* ---- stores: extent maps ---------------------------------------------- */

/* How a store file's extents are found: FIEMAP, then FIBMAP, then marking, or one of them alone. */
#define MAP_METHOD_AUTO 0u
#define MAP_METHOD_FIEMAP 1u
#define MAP_METHOD_FIBMAP 2u
#define MAP_METHOD_KERNEL 3u

/* (first block, number of blocks) in units of the filesystem's block size, from the partition start. */
typedef struct fs_block_extent {
    uint64_t first;
    uint64_t count;
} fs_block_extent;

/* One heap block: the count, then the extents. */
typedef struct fs_block_map {
    uint64_t count;
    __extension__ fs_block_extent extents[];
} fs_block_map;

/* The blocks that `path` occupies on the filesystem of `device`, released with
 * qvctl_fs_block_map_free; null on failure. */
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
    __extension__ sector_extent extents[];
} store_extent_list;
#if defined(__clang__) && defined(__cplusplus)
#pragma clang diagnostic pop
#endif

/* Map a store's files and register their extents with the module. Each clears the record and
 * returns 0 or a code (QVCTL_EEXIST: already registered). `method` is one of MAP_METHOD_*, `chunk`
 * the marking chunk of the kernel method in bytes (0: default). The plain forms use
 * MAP_METHOD_AUTO. */
int qvctl_changelog_store_register_ex(const char *device, uint32_t method, uint64_t chunk, qvctl_status *st);
int qvctl_changelog_store_register(const char *device, qvctl_status *st);
int qvctl_data_store_register_ex(const char *device, uint32_t method, uint64_t chunk, qvctl_status *st);
int qvctl_data_store_register(const char *device, qvctl_status *st);
/* `flags` 0 or MAP_FLAG_METADATA_OPT; a missing or damaged metadata store is made afresh. The _opt
 * form passes MAP_FLAG_METADATA_OPT. */
int qvctl_metadata_store_register_ex(const char *device, uint32_t method, uint64_t chunk, uint32_t flags,
                                     qvctl_status *st);
int qvctl_metadata_store_register(const char *device, qvctl_status *st);
int qvctl_metadata_store_register_opt(const char *device, qvctl_status *st);
/* Releases the data store in the module. 0 or a code. */
int qvctl_data_store_unmap(const char *device, qvctl_status *st);
/* The extents the module holds for store `kind` (STORE_*), released with qvctl_store_extents_free;
 * null on failure. The three named forms fix the kind. */
store_extent_list *qvctl_store_extents_get(const char *device, uint32_t kind, qvctl_status *st);
store_extent_list *qvctl_changelog_store_extents_get(const char *device, qvctl_status *st);
store_extent_list *qvctl_data_store_extents_get(const char *device, qvctl_status *st);
store_extent_list *qvctl_metadata_store_extents_get(const char *device, qvctl_status *st);
void qvctl_store_extents_free(store_extent_list *list);

#ifdef __cplusplus
}
#endif

#endif
