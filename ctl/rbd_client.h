// SPDX-License-Identifier: GPL-2.0-or-later
// A repository's pool and images in Ceph, through qvctl's Ceph module: loaded on first use, each
// call's failure turned into a message that names the pool, the image and the call.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "qvctl.h"
#include "rbd_module.h"

namespace qvctl_cli {

struct ceph_options {
    const char *conf = nullptr;  // null: Ceph's defaults
    const char *id = nullptr;
    unsigned timeout = 30;  // seconds
};

// "rbd:POOL/NAME" or "rbd:POOL/NAME@N".
struct rbd_ref {
    std::string pool, name;
    std::uint64_t point = 0;  // 0 for the latest
    std::string text() const { return "rbd:" + pool + "/" + name; }
};
bool rbd_ref_is(const std::string &text);
// Where the module is loaded from, instead of beside the program or where its package puts it:
// for a program of its own, such as a test, that is neither.
void rbd_module_place(const std::string &path);
// False, with the status set, when the text is no such reference.
bool rbd_ref_parse(const std::string &text, rbd_ref &out, qvctl_status &st);

class rbd_pool {
public:
    rbd_pool() = default;
    ~rbd_pool();
    rbd_pool(const rbd_pool &) = delete;
    rbd_pool &operator=(const rbd_pool &) = delete;
    int connect(const ceph_options &how, const std::string &pool, qvctl_status &st);
    // A failed call of the module as the status: named with the pool, `image` and the call.
    int fail(int r, const char *call, const std::string &image, qvctl_status &st) const;

    // After one call went unanswered, every later one fails at once, so that a run over a cluster
    // that stopped answering ends within about its limit; it is not even disconnected.
    bool answered(const char *call, const std::string &image, qvctl_status &st) const;

    const qv_rbd_module *m = nullptr;
    qv_rbd_pool *p = nullptr;
    std::string name;
    unsigned timeout = 30;
    mutable std::atomic<bool> unanswered = false;
};

class rbd_image {
public:
    rbd_image() = default;
    ~rbd_image() { close(); }
    rbd_image(const rbd_image &) = delete;
    rbd_image &operator=(const rbd_image &) = delete;
    // The head, writable where asked, or a snapshot, read-only.
    int open(rbd_pool &pool, const std::string &name, const char *snap, bool writable, qvctl_status &st);
    void close();
    bool is_open() const { return img != nullptr; }
    int fail(int r, const char *call, qvctl_status &st) const { return pool->fail(r, call, label, st); }

    int size(std::uint64_t &bytes, qvctl_status &st);
    int resize(std::uint64_t bytes, qvctl_status &st);
    // The exclusive lock for this run, or EBUSY naming its holder; a dead holder's lock is broken.
    int lock(std::string &holder, std::string &broken, qvctl_status &st);
    int flush(qvctl_status &st);
    // One transfer, waited for.
    int read(std::uint64_t offset, std::size_t length, void *out, qvctl_status &st);
    int write(std::uint64_t offset, std::size_t length, const void *data, qvctl_status &st);
    int snap_create(const std::string &snap, qvctl_status &st);
    int snap_remove(const std::string &snap, qvctl_status &st);
    int snap_rollback(const std::string &snap, qvctl_status &st);
    int snaps(std::vector<std::string> &out, qvctl_status &st);
    // False in `found` when the key is absent.
    int meta_get(const char *key, std::string &value, bool &found, qvctl_status &st);
    int meta_set(const char *key, const std::string &value, qvctl_status &st);
    int meta_remove(const char *key, qvctl_status &st);

    rbd_pool *pool = nullptr;
    qv_rbd_image *img = nullptr;
    std::string label;  // the image, with "@snap" when one is open
};

// Transfers in flight on one image, in `depth` slots taken in turn, a slot free again once its
// transfers ended. A read lands in its slot's buffer, of `buffer_bytes` (none for a pipe that only
// writes: a write's data is copied as it is sent).
class rbd_pipe {
public:
    rbd_pipe(rbd_image &image, std::size_t depth, std::size_t buffer_bytes);
    ~rbd_pipe();
    rbd_pipe(const rbd_pipe &) = delete;
    rbd_pipe &operator=(const rbd_pipe &) = delete;
    // The next slot, waiting for its transfers: those sent after it are its own. The code of a
    // failed transfer.
    int turn(qvctl_status &st);
    // The next slot's buffer; null on a failed transfer.
    unsigned char *buffer(qvctl_status &st);
    // Transfers of the current slot.
    int write(std::uint64_t offset, std::size_t length, const unsigned char *data, qvctl_status &st);
    int zero(std::uint64_t offset, std::uint64_t length, qvctl_status &st);
    int read(std::uint64_t offset, std::size_t length, unsigned char *data, qvctl_status &st);
    // Every transfer ended; the first failure's code.
    int drain(qvctl_status &st);
    std::size_t buffer_bytes() const { return bytes_; }

private:
    struct slot {
        unsigned char *data = nullptr;
        std::vector<qv_rbd_io *> ios;
        std::vector<const char *> calls;
    };
    int wait(slot &s, qvctl_status &st);
    int submit(int r, qv_rbd_io *io, const char *call, qvctl_status &st);

    rbd_image &image_;
    std::size_t bytes_;
    std::vector<slot> slots_;
    std::size_t next_ = 0;
    slot *current_ = nullptr;
    int failed_ = 0;
};

}  // namespace qvctl_cli
