/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What qvctl asks of its Ceph module, which it loads only for a repository in an RBD pool, so that
 * hosts that never back up into Ceph need none of its libraries. Every call returns 0 or a negative
 * errno; strings handed out are the caller's buffers, cut to fit and always terminated. */
#ifndef QV_RBD_MODULE_H
#define QV_RBD_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QV_RBD_MODULE_ABI 1
#define QV_RBD_MODULE_SYMBOL "quorvex_rbd_module"

struct qv_rbd_pool;
struct qv_rbd_image;
struct qv_rbd_io;

struct qv_rbd_connect {
    const char *conf;      /* null: Ceph's own search */
    const char *id;        /* null: the client Ceph's defaults name */
    const char *pool;
    unsigned timeout;      /* seconds every call to the cluster may take */
};

struct qv_rbd_module {
    uint32_t abi;
    /* `call` names the librados call that failed. */
    int (*connect)(const struct qv_rbd_connect *how, struct qv_rbd_pool **out, const char **call);
    void (*disconnect)(struct qv_rbd_pool *pool);
    /* 1 when the image exists, 0 when not. */
    int (*exists)(struct qv_rbd_pool *pool, const char *name);
    int (*create)(struct qv_rbd_pool *pool, const char *name, uint64_t size);
    /* The image with all its snapshots. */
    int (*remove)(struct qv_rbd_pool *pool, const char *name);
    /* Read-only at `snap` when given, else the head: writable where `writable`. */
    int (*open)(struct qv_rbd_pool *pool, const char *name, const char *snap, int writable,
                struct qv_rbd_image **out);
    void (*close)(struct qv_rbd_image *image);
    int (*size)(struct qv_rbd_image *image, uint64_t *bytes);
    int (*resize)(struct qv_rbd_image *image, uint64_t bytes);
    /* The exclusive lock, after breaking one whose owner Ceph reports gone (its name in `broken`,
     * else ""). -EBUSY while a live client holds it, named in `holder`. */
    int (*lock)(struct qv_rbd_image *image, char *holder, size_t holder_len, char *broken, size_t broken_len);
    /* Asynchronous transfers: a read's `buf` is written until qv_rbd_module.wait returns; a write's
     * is copied before the call returns. */
    int (*read)(struct qv_rbd_image *image, uint64_t offset, size_t length, void *buf, struct qv_rbd_io **io);
    int (*write)(struct qv_rbd_image *image, uint64_t offset, size_t length, const void *buf,
                 struct qv_rbd_io **io);
    /* Zeros, deallocated where RBD can. */
    int (*zero)(struct qv_rbd_image *image, uint64_t offset, uint64_t length, struct qv_rbd_io **io);
    /* The transfer's result (bytes or a negative errno); `io` is released. */
    int64_t (*wait)(struct qv_rbd_io *io);
    int (*flush)(struct qv_rbd_image *image);
    int (*snap_create)(struct qv_rbd_image *image, const char *name);
    int (*snap_remove)(struct qv_rbd_image *image, const char *name);
    int (*snap_rollback)(struct qv_rbd_image *image, const char *name);
    /* Snapshot names, each ended by a NUL, in `names`; their count. -ERANGE when they do not fit. */
    int (*snap_list)(struct qv_rbd_image *image, char *names, size_t names_len);
    /* -ENOENT when the key is absent; -ERANGE with the length needed in *len when it does not fit. */
    int (*meta_get)(struct qv_rbd_image *image, const char *key, char *value, size_t *len);
    int (*meta_set)(struct qv_rbd_image *image, const char *key, const char *value);
    int (*meta_remove)(struct qv_rbd_image *image, const char *key);
};

typedef const struct qv_rbd_module *(*qv_rbd_module_entry)(void);

#ifdef __cplusplus
}
#endif

#endif
