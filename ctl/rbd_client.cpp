// SPDX-License-Identifier: GPL-2.0-or-later
#include "rbd_client.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "path_format.h"

#ifndef QV_RBD_MODULE_PATH
#define QV_RBD_MODULE_PATH "/usr/lib/quorvex/quorvex-rbd.so"
#endif

namespace qvctl_cli {

namespace {

constexpr const char module_file[] = "quorvex-rbd.so";
constexpr const char module_package[] = "quorvex-rbd";

// Code that root loads must be root's or the caller's, and writable by no one else.
bool trusted(const std::string &path)
{
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    return (sb.st_uid == 0 || sb.st_uid == ::geteuid()) && !(sb.st_mode & (S_IWGRP | S_IWOTH));
}

// Beside the program first, where a build puts it; then where the package installs it.
std::vector<std::string> module_places()
{
    std::vector<std::string> places;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        places.push_back(qv::folder_of(self) + "/" + module_file);
    }
    places.emplace_back(QV_RBD_MODULE_PATH);
    return places;
}

std::string &module_place_chosen()
{
    static std::string place;
    return place;
}

const qv_rbd_module *module_load(qvctl_status &st)
{
    static const qv_rbd_module *loaded = nullptr;
    if (loaded)
        return loaded;
    std::string why;
    const std::vector<std::string> places =
        module_place_chosen().empty() ? module_places() : std::vector<std::string>{module_place_chosen()};
    for (const std::string &place : places) {
        if (::access(place.c_str(), F_OK) != 0)
            continue;
        if (!trusted(place)) {
            why = place + " is not root's or can be written by others; not loaded";
            continue;
        }
        void *handle = ::dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            why = ::dlerror();
            continue;
        }
        auto entry = reinterpret_cast<qv_rbd_module_entry>(::dlsym(handle, QV_RBD_MODULE_SYMBOL));
        const qv_rbd_module *m = entry ? entry() : nullptr;
        if (!m || m->abi != QV_RBD_MODULE_ABI) {
            why = place + " is of another version of qvctl";
            ::dlclose(handle);
            continue;
        }
        return loaded = m;
    }
    if (why.empty())
        qvctl_status_set(&st, ENOPKG, "ERROR: repositories in Ceph need qvctl's Ceph module; install the package %s",
                         module_package);
    else
        qvctl_status_set(&st, ENOPKG, "ERROR: repositories in Ceph need qvctl's Ceph module (package %s): %s",
                         module_package, why.c_str());
    return nullptr;
}

}  // namespace

void rbd_module_place(const std::string &path) { module_place_chosen() = path; }

bool rbd_ref_is(const std::string &text) { return text.rfind("rbd:", 0) == 0; }

bool rbd_ref_parse(const std::string &text, rbd_ref &out, qvctl_status &st)
{
    rbd_ref r;
    std::string rest = text.substr(4);
    if (auto at = rest.rfind('@'); at != std::string::npos) {
        const std::string number = rest.substr(at + 1);
        char *end = nullptr;
        errno = 0;
        r.point = std::strtoull(number.c_str(), &end, 10);
        if (number.empty() || *end || errno || !r.point || number[0] == '-' || number[0] == '+')
            return qvctl_status_set(&st, EINVAL, "ERROR: %s: a point is a number from 1", text.c_str()), false;
        rest.resize(at);
    }
    const auto slash = rest.find('/');
    if (!rbd_ref_is(text) || slash == std::string::npos || slash == 0 || slash + 1 == rest.size() ||
        rest.find('/', slash + 1) != std::string::npos)
        return qvctl_status_set(&st, EINVAL, "ERROR: %s is no repository in Ceph: rbd:POOL/NAME[@N]", text.c_str()),
               false;
    r.pool = rest.substr(0, slash);
    r.name = rest.substr(slash + 1);
    // The checksums live in an image of their own beside it; a name of ours is refused.
    if (r.name.find('@') != std::string::npos || r.name.size() > 200)
        return qvctl_status_set(&st, EINVAL, "ERROR: %s: an image name of at most 200 characters, without '@'",
                                text.c_str()),
               false;
    out = r;
    return true;
}

rbd_pool::~rbd_pool()
{
    if (m && p && !unanswered)
        m->disconnect(p);
}

int rbd_pool::connect(const ceph_options &how, const std::string &pool, qvctl_status &st)
{
    m = module_load(st);
    if (!m)
        return st.code;
    name = pool;
    timeout = how.timeout;
    const qv_rbd_connect c{how.conf, how.id, pool.c_str(), how.timeout};
    const char *call = "rados_connect";
    if (int r = m->connect(&c, &p, &call)) {
        p = nullptr;
        if (r == -ENOENT && std::strcmp(call, "rados_ioctx_create") == 0)
            return qvctl_status_set(&st, ENOENT, "ERROR: Ceph has no pool %s", pool.c_str());
        return fail(r, call, "", st);
    }
    return 0;
}

int rbd_pool::fail(int r, const char *call, const std::string &image, qvctl_status &st) const
{
    const int e = r < 0 ? -r : (r ? r : EIO);
    const std::string where = "pool " + name + (image.empty() ? "" : ", image " + image);
    // Calls may time out together, from two threads: one of them is the first.
    if (e == ETIMEDOUT && unanswered.exchange(true))
        return qvctl_status_set(&st, e, "ERROR: %s not tried: Ceph stopped answering (%s)", call, where.c_str());
    if (e == ETIMEDOUT)
        return qvctl_status_set(&st, e, "ERROR: Ceph did not answer %s within %u s (%s)", call, timeout,
                                where.c_str());
    return qvctl_status_set(&st, e, "ERROR: %s failed in Ceph (%s): %s", call, where.c_str(), std::strerror(e));
}

bool rbd_pool::answered(const char *call, const std::string &image, qvctl_status &st) const
{
    if (unanswered)
        fail(-ETIMEDOUT, call, image, st);
    return !unanswered;
}

int rbd_image::open(rbd_pool &p, const std::string &name, const char *snap, bool writable, qvctl_status &st)
{
    close();
    pool = &p;
    label = snap ? name + "@" + snap : name;
    if (int r = p.m->open(p.p, name.c_str(), snap, writable, &img)) {
        img = nullptr;
        return fail(r, snap ? "rbd_open_read_only" : "rbd_open", st);
    }
    return 0;
}

void rbd_image::close()
{
    if (img && !pool->unanswered)
        pool->m->close(img);
    img = nullptr;
}

int rbd_image::size(std::uint64_t &bytes, qvctl_status &st)
{
    if (!pool->answered("rbd_get_size", label, st))
        return st.code;
    int r = pool->m->size(img, &bytes);
    return r ? fail(r, "rbd_get_size", st) : 0;
}

int rbd_image::resize(std::uint64_t bytes, qvctl_status &st)
{
    if (!pool->answered("rbd_resize", label, st))
        return st.code;
    int r = pool->m->resize(img, bytes);
    return r ? fail(r, "rbd_resize", st) : 0;
}

int rbd_image::lock(std::string &holder, std::string &broken, qvctl_status &st)
{
    char held[512] = "", gone[512] = "";
    if (!pool->answered("rbd_lock_acquire", label, st))
        return st.code;
    int r = pool->m->lock(img, held, sizeof held, gone, sizeof gone);
    holder = held;
    broken = gone;
    if (r == -EBUSY)
        return EBUSY;
    return r ? fail(r, "rbd_lock_acquire", st) : 0;
}

int rbd_image::flush(qvctl_status &st)
{
    if (!pool->answered("rbd_flush", label, st))
        return st.code;
    int r = pool->m->flush(img);
    return r ? fail(r, "rbd_flush", st) : 0;
}

int rbd_image::read(std::uint64_t offset, std::size_t length, void *out, qvctl_status &st)
{
    qv_rbd_io *io = nullptr;
    if (!pool->answered("rbd_aio_read", label, st))
        return st.code;
    if (int r = pool->m->read(img, offset, length, out, &io))
        return fail(r, "rbd_aio_read", st);
    const std::int64_t r = pool->m->wait(io);
    if (r < 0)
        return fail(static_cast<int>(r), "rbd_aio_read", st);
    if (static_cast<std::uint64_t>(r) != length)
        return qvctl_status_set(&st, EIO, "ERROR: a read of %s in pool %s ended short", label.c_str(),
                                pool->name.c_str());
    return 0;
}

int rbd_image::write(std::uint64_t offset, std::size_t length, const void *data, qvctl_status &st)
{
    qv_rbd_io *io = nullptr;
    if (!pool->answered("rbd_aio_write", label, st))
        return st.code;
    if (int r = pool->m->write(img, offset, length, data, &io))
        return fail(r, "rbd_aio_write", st);
    const std::int64_t r = pool->m->wait(io);
    return r < 0 ? fail(static_cast<int>(r), "rbd_aio_write", st) : 0;
}

int rbd_image::snap_create(const std::string &snap, qvctl_status &st)
{
    if (!pool->answered("rbd_snap_create", label, st))
        return st.code;
    int r = pool->m->snap_create(img, snap.c_str());
    return r ? fail(r, "rbd_snap_create", st) : 0;
}

int rbd_image::snap_remove(const std::string &snap, qvctl_status &st)
{
    if (!pool->answered("rbd_snap_remove", label, st))
        return st.code;
    int r = pool->m->snap_remove(img, snap.c_str());
    return r ? fail(r, "rbd_snap_remove", st) : 0;
}

int rbd_image::snap_rollback(const std::string &snap, qvctl_status &st)
{
    if (!pool->answered("rbd_snap_rollback", label, st))
        return st.code;
    int r = pool->m->snap_rollback(img, snap.c_str());
    return r ? fail(r, "rbd_snap_rollback", st) : 0;
}

int rbd_image::snaps(std::vector<std::string> &out, qvctl_status &st)
{
    std::vector<char> names(4096);
    int n;
    if (!pool->answered("rbd_snap_list", label, st))
        return st.code;
    while ((n = pool->m->snap_list(img, names.data(), names.size())) == -ERANGE)
        names.resize(names.size() * 2);
    if (n < 0)
        return fail(n, "rbd_snap_list", st);
    out.clear();
    for (const char *s = names.data(); n-- > 0; s += std::strlen(s) + 1)
        out.emplace_back(s);
    return 0;
}

int rbd_image::meta_get(const char *key, std::string &value, bool &found, qvctl_status &st)
{
    std::vector<char> buf(4096);
    for (;;) {
        std::size_t len = buf.size();
        if (!pool->answered("rbd_metadata_get", label, st))
            return st.code;
        int r = pool->m->meta_get(img, key, buf.data(), &len);
        if (r == -ERANGE && len > buf.size()) {
            buf.resize(len);
            continue;
        }
        if (r == -ENOENT) {
            found = false;
            return 0;
        }
        if (r)
            return fail(r, "rbd_metadata_get", st);
        found = true;
        value.assign(buf.data(), std::min(len, buf.size()));
        while (!value.empty() && value.back() == '\0')
            value.pop_back();
        return 0;
    }
}

int rbd_image::meta_set(const char *key, const std::string &value, qvctl_status &st)
{
    if (!pool->answered("rbd_metadata_set", label, st))
        return st.code;
    int r = pool->m->meta_set(img, key, value.c_str());
    return r ? fail(r, "rbd_metadata_set", st) : 0;
}

int rbd_image::meta_remove(const char *key, qvctl_status &st)
{
    if (!pool->answered("rbd_metadata_remove", label, st))
        return st.code;
    int r = pool->m->meta_remove(img, key);
    return r && r != -ENOENT ? fail(r, "rbd_metadata_remove", st) : 0;
}

rbd_pipe::rbd_pipe(rbd_image &image, std::size_t depth, std::size_t buffer_bytes)
    : image_(image), bytes_(buffer_bytes), slots_(depth ? depth : 1)
{
    for (slot &s : slots_)
        s.data = bytes_ ? static_cast<unsigned char *>(std::aligned_alloc(4096, bytes_)) : nullptr;
}

rbd_pipe::~rbd_pipe()
{
    // Transfers to a cluster that stopped answering may still land in the buffers: left to them.
    if (image_.pool->unanswered)
        return;
    qvctl_status ignored{};
    drain(ignored);
    for (slot &s : slots_)
        std::free(s.data);
}

int rbd_pipe::wait(slot &s, qvctl_status &st)
{
    for (std::size_t i = 0; i < s.ios.size(); ++i) {
        const std::int64_t r = image_.pool->m->wait(s.ios[i]);
        if (r < 0 && !failed_)
            failed_ = image_.fail(static_cast<int>(r), s.calls[i], st);
    }
    s.ios.clear();
    s.calls.clear();
    return failed_;
}

int rbd_pipe::turn(qvctl_status &st)
{
    slot &s = slots_[next_];
    next_ = (next_ + 1) % slots_.size();
    current_ = &s;
    return wait(s, st);
}

unsigned char *rbd_pipe::buffer(qvctl_status &st)
{
    return turn(st) ? nullptr : current_->data;
}

int rbd_pipe::submit(int r, qv_rbd_io *io, const char *call, qvctl_status &st)
{
    if (r)
        return failed_ ? failed_ : (failed_ = image_.fail(r, call, st));
    current_->ios.push_back(io);
    current_->calls.push_back(call);
    return 0;
}

int rbd_pipe::write(std::uint64_t offset, std::size_t length, const unsigned char *data, qvctl_status &st)
{
    qv_rbd_io *io = nullptr;
    if (!image_.pool->answered("rbd_aio_write", image_.label, st))
        return failed_ ? failed_ : (failed_ = st.code);
    const int r = image_.pool->m->write(image_.img, offset, length, data, &io);
    return submit(r, io, "rbd_aio_write", st);
}

int rbd_pipe::read(std::uint64_t offset, std::size_t length, unsigned char *data, qvctl_status &st)
{
    qv_rbd_io *io = nullptr;
    if (!image_.pool->answered("rbd_aio_read", image_.label, st))
        return failed_ ? failed_ : (failed_ = st.code);
    const int r = image_.pool->m->read(image_.img, offset, length, data, &io);
    return submit(r, io, "rbd_aio_read", st);
}

int rbd_pipe::zero(std::uint64_t offset, std::uint64_t length, qvctl_status &st)
{
    if (!current_ && turn(st))
        return failed_;
    qv_rbd_io *io = nullptr;
    if (!image_.pool->answered("rbd_aio_write_zeroes", image_.label, st))
        return failed_ ? failed_ : (failed_ = st.code);
    const int r = image_.pool->m->zero(image_.img, offset, length, &io);
    return submit(r, io, "rbd_aio_write_zeroes", st);
}

int rbd_pipe::drain(qvctl_status &st)
{
    for (slot &s : slots_)
        wait(s, st);
    return failed_;
}

}  // namespace qvctl_cli
