// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl's Ceph module: each call of rbd_module.h over librados and librbd, nothing more. What a
// repository is, and every message, stays in qvctl.
#include <rados/librados.h>
#include <rbd/librbd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rbd_module.h"

struct qv_rbd_pool {
    rados_t cluster = nullptr;
    rados_ioctx_t io = nullptr;
};

struct qv_rbd_image {
    rbd_image_t image = nullptr;
};

namespace {

constexpr uint64_t image_features = RBD_FEATURE_LAYERING | RBD_FEATURE_EXCLUSIVE_LOCK | RBD_FEATURE_OBJECT_MAP |
                                    RBD_FEATURE_FAST_DIFF | RBD_FEATURE_DEEP_FLATTEN;
constexpr int object_order = 22;  // 4 MiB objects, RBD's own default

void copy_out(char *out, size_t len, const std::string &text)
{
    if (!len)
        return;
    std::snprintf(out, len, "%s", text.c_str());
}

void pool_free(qv_rbd_pool *p)
{
    if (!p)
        return;
    if (p->io)
        rados_ioctx_destroy(p->io);
    if (p->cluster)
        rados_shutdown(p->cluster);
    delete p;
}

int pool_connect(const qv_rbd_connect *how, qv_rbd_pool **out, const char **call)
{
    auto p = std::unique_ptr<qv_rbd_pool, decltype(&pool_free)>(new qv_rbd_pool, pool_free);
    *call = "rados_create";
    if (int r = rados_create(&p->cluster, how->id))
        return r;
    *call = "rados_conf_read_file";
    if (int r = rados_conf_read_file(p->cluster, how->conf); r && (how->conf || r != -ENOENT))
        return r;
    // One limit for every kind of call, so that a cluster that stops answering fails the run.
    const std::string limit = std::to_string(how->timeout ? how->timeout : 30);
    *call = "rados_conf_set";
    for (const char *option : {"rados_osd_op_timeout", "rados_mon_op_timeout", "client_mount_timeout"})
        if (int r = rados_conf_set(p->cluster, option, limit.c_str()))
            return r;
    // Every write reaches the OSDs before it is counted done: a cache would answer for a cluster
    // that no longer does, and hold what a point needs in this process alone.
    if (int r = rados_conf_set(p->cluster, "rbd_cache", "false"))
        return r;
    // A write's data is copied when it is submitted, so the caller's buffer is free at once.
    if (int r = rados_conf_set(p->cluster, "rbd_disable_zero_copy_writes", "true"))
        return r;
    *call = "rados_connect";
    if (int r = rados_connect(p->cluster))
        return r;
    *call = "rados_ioctx_create";
    if (int r = rados_ioctx_create(p->cluster, how->pool, &p->io))
        return r;
    *out = p.release();
    return 0;
}

int image_exists(qv_rbd_pool *p, const char *name)
{
    rbd_image_t image;
    int r = rbd_open_read_only(p->io, name, &image, nullptr);
    if (r == -ENOENT)
        return 0;
    if (r)
        return r;
    rbd_close(image);
    return 1;
}

int image_create(qv_rbd_pool *p, const char *name, uint64_t size)
{
    int order = object_order;
    return rbd_create2(p->io, name, size, image_features, &order);
}

int snap_names(rbd_image_t image, std::vector<std::string> &names)
{
    std::vector<rbd_snap_info_t> snaps(16);
    for (;;) {
        int max = static_cast<int>(snaps.size());
        int n = rbd_snap_list(image, snaps.data(), &max);
        if (n == -ERANGE) {
            snaps.resize(static_cast<size_t>(max) + 1);
            continue;
        }
        if (n < 0)
            return n;
        for (int i = 0; i < n; ++i)
            names.emplace_back(snaps[static_cast<size_t>(i)].name);
        rbd_snap_list_end(snaps.data());
        return 0;
    }
}

int image_remove(qv_rbd_pool *p, const char *name)
{
    rbd_image_t image;
    if (int r = rbd_open(p->io, name, &image, nullptr))
        return r;
    std::vector<std::string> names;
    int r = snap_names(image, names);
    for (size_t i = 0; !r && i < names.size(); ++i)
        r = rbd_snap_remove(image, names[i].c_str());
    rbd_close(image);
    return r ? r : rbd_remove(p->io, name);
}

int image_open(qv_rbd_pool *p, const char *name, const char *snap, int writable, qv_rbd_image **out)
{
    auto img = std::make_unique<qv_rbd_image>();
    int r = writable && !snap ? rbd_open(p->io, name, &img->image, nullptr)
                              : rbd_open_read_only(p->io, name, &img->image, snap);
    if (r)
        return r;
    *out = img.release();
    return 0;
}

void image_close(qv_rbd_image *img)
{
    if (!img)
        return;
    rbd_close(img->image);
    delete img;
}

int image_size(qv_rbd_image *img, uint64_t *bytes) { return rbd_get_size(img->image, bytes); }
int image_resize(qv_rbd_image *img, uint64_t bytes) { return rbd_resize(img->image, bytes); }

// The owners of the lock, one per line.
std::string lock_owners(rbd_image_t image)
{
    rbd_lock_mode_t mode;
    char *owners[8];
    size_t count = std::size(owners);
    if (rbd_lock_get_owners(image, &mode, owners, &count) != 0)
        return "";
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += (text.empty() ? "" : ", ") + std::string(owners[i]);
    rbd_lock_get_owners_cleanup(owners, count);
    return text;
}

// librbd breaks, blocklisting it, a lock whose owner no longer watches the image; a live owner's
// lock is refused. Who held it before tells which of the two happened.
int image_lock(qv_rbd_image *img, char *holder, size_t holder_len, char *broken, size_t broken_len)
{
    const std::string before = lock_owners(img->image);
    copy_out(broken, broken_len, "");
    int r = rbd_lock_acquire(img->image, RBD_LOCK_MODE_EXCLUSIVE);
    if (r == 0) {
        copy_out(broken, broken_len, before);
        return 0;
    }
    if (r != -EROFS && r != -EBUSY && r != -EAGAIN)
        return r;
    const std::string now = lock_owners(img->image);
    copy_out(holder, holder_len, now.empty() ? before : now);
    return -EBUSY;
}

template <class Submit> int aio_start(Submit &&submit, qv_rbd_io **io)
{
    rbd_completion_t c;
    if (int r = rbd_aio_create_completion(nullptr, nullptr, &c))
        return r;
    if (int r = submit(c)) {
        rbd_aio_release(c);
        return r;
    }
    *io = reinterpret_cast<qv_rbd_io *>(c);
    return 0;
}

int aio_read(qv_rbd_image *img, uint64_t offset, size_t length, void *buf, qv_rbd_io **io)
{
    return aio_start([&](rbd_completion_t c) { return rbd_aio_read(img->image, offset, length, static_cast<char *>(buf), c); },
                     io);
}

int aio_write(qv_rbd_image *img, uint64_t offset, size_t length, const void *buf, qv_rbd_io **io)
{
    return aio_start(
        [&](rbd_completion_t c) { return rbd_aio_write(img->image, offset, length, static_cast<const char *>(buf), c); },
        io);
}

// A plain discard may leave parts of an object as they were; zeroing deallocates what it can and
// guarantees zeros for the rest.
int aio_zero(qv_rbd_image *img, uint64_t offset, uint64_t length, qv_rbd_io **io)
{
    return aio_start([&](rbd_completion_t c) { return rbd_aio_write_zeroes(img->image, offset, length, c, 0, 0); },
                     io);
}

int64_t aio_wait(qv_rbd_io *io)
{
    auto c = reinterpret_cast<rbd_completion_t>(io);
    rbd_aio_wait_for_complete(c);
    const int64_t r = rbd_aio_get_return_value(c);
    rbd_aio_release(c);
    return r;
}

int image_flush(qv_rbd_image *img) { return rbd_flush(img->image); }
int snap_create(qv_rbd_image *img, const char *name) { return rbd_snap_create(img->image, name); }
int snap_remove(qv_rbd_image *img, const char *name) { return rbd_snap_remove(img->image, name); }
int snap_rollback(qv_rbd_image *img, const char *name) { return rbd_snap_rollback(img->image, name); }

int snap_list(qv_rbd_image *img, char *names, size_t names_len)
{
    std::vector<std::string> all;
    if (int r = snap_names(img->image, all))
        return r;
    size_t used = 0;
    for (const std::string &n : all) {
        if (used + n.size() + 1 > names_len)
            return -ERANGE;
        std::memcpy(names + used, n.c_str(), n.size() + 1);
        used += n.size() + 1;
    }
    return static_cast<int>(all.size());
}

int meta_get(qv_rbd_image *img, const char *key, char *value, size_t *len)
{
    return rbd_metadata_get(img->image, key, value, len);
}
int meta_set(qv_rbd_image *img, const char *key, const char *value) { return rbd_metadata_set(img->image, key, value); }
int meta_remove(qv_rbd_image *img, const char *key) { return rbd_metadata_remove(img->image, key); }

constexpr qv_rbd_module module = {
    QV_RBD_MODULE_ABI, pool_connect, pool_free, image_exists, image_create, image_remove, image_open, image_close,
    image_size,        image_resize, image_lock,   aio_read,  aio_write,    aio_zero,  aio_wait,     image_flush, snap_create,
    snap_remove,       snap_rollback, snap_list, meta_get,    meta_set,     meta_remove,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const qv_rbd_module *quorvex_rbd_module(void) { return &module; }
