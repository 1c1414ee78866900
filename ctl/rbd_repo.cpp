// SPDX-License-Identifier: GPL-2.0-or-later
#include "rbd_repo.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>

#include "qvctl_internal.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

// The number a snapshot of ours is named after, or 0 for any other name.
std::uint64_t snap_number(const std::string &name)
{
    std::uint64_t n = 0;
    auto [p, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
    return ec == std::errc{} && p == name.data() + name.size() && name[0] != '0' ? n : 0;
}

std::string holder_note()
{
    char host[HOST_NAME_MAX + 1] = "";
    ::gethostname(host, sizeof host - 1);
    return "host " + std::string(host) + ", process " + std::to_string(::getpid()) + ", since " + utc_now();
}

}  // namespace

int rbd_repo::open(const std::string &text, const ceph_options &how, repo_access access, qvctl_status &st)
{
    if (!rbd_ref_parse(text, ref, st))
        return st.code;
    // Only a restore or a mount takes a point; they have taken it off before.
    if (ref.point)
        return qvctl_status_set(&st, EINVAL, "ERROR: %s names a point; this command takes the repository, %s",
                                text.c_str(), ref.text().c_str());
    label = ref.text();
    if (int c = pool.connect(how, ref.pool, st))
        return c;
    const int exists = pool.m->exists(pool.p, ref.name.c_str());
    if (exists < 0)
        return pool.fail(exists, "rbd_open_read_only", ref.name, st);
    const bool writer = access != repo_access::read;
    if (!exists) {
        if (access != repo_access::create)
            return qvctl_status_set(&st, ENOENT, "ERROR: %s is no backup repository: pool %s has no image %s",
                                    label.c_str(), ref.pool.c_str(), ref.name.c_str());
        // Sized by the first backup; until then the manifest is all there is.
        for (const std::string &name : {ref.name, sums_name()})
            if (int r = pool.m->create(pool.p, name.c_str(), 0); r && r != -EEXIST)
                return pool.fail(r, "rbd_create2", name, st);
    }
    if (int c = head.open(pool, ref.name, nullptr, writer, st))
        return c;
    if (writer) {
        std::string holder, broken;
        if (head.lock(holder, broken, st) == EBUSY) {
            std::string who;
            bool found = false;
            qvctl_status ignored{};
            head.meta_get(holder_key, who, found, ignored);
            return qvctl_status_set(&st, EBUSY, "ERROR: %s is in use by another backup (%s%sCeph client %s)",
                                    label.c_str(), who.c_str(), who.empty() ? "" : "; ",
                                    holder.empty() ? "unknown" : holder.c_str());
        }
        if (st.code)
            return st.code;
        if (!broken.empty())
            qvctl_log(LOG_NOTICE, stdout, "The lock on %s held by %s, which Ceph reports gone, is broken",
                      label.c_str(), broken.c_str());
    }
    std::string manifest;
    bool found = false;
    if (int c = head.meta_get(manifest_key, manifest, found, st))
        return c;
    if (!found && exists)
        return qvctl_status_set(&st, EEXIST, "ERROR: %s holds no manifest; it is an image of someone else's, left alone",
                                label.c_str());
    if (!chain_parse(manifest, label + " (its manifest)", records, st))
        return st.code;
    if (int c = sums.open(pool, sums_name(), nullptr, writer, st))
        return c;
    if (!writer)
        return 0;
    if (int c = head.meta_set(holder_key, holder_note(), st))
        return c;
    if (!found && !save(st))
        return st.code;
    bool was_dirty = false;
    std::string mark;
    if (int c = head.meta_get(dirty_key, mark, was_dirty, st))
        return c;
    if (was_dirty && latest()) {
        if (int c = rollback(latest()->point, st))
            return c;
        qvctl_log(LOG_NOTICE, stdout, "A backup into %s was cut short; its image is rolled back to point %llu",
                  label.c_str(), static_cast<ull>(latest()->point));
    }
    if (was_dirty)
        if (int c = dirty(false, st))
            return c;
    return stray_snaps_remove(st);
}

bool rbd_repo::save(qvctl_status &st) { return head.meta_set(manifest_key, chain_text(records), st) == 0; }

int rbd_repo::dirty(bool on, qvctl_status &st)
{
    return on ? head.meta_set(dirty_key, utc_now(), st) : head.meta_remove(dirty_key, st);
}

int rbd_repo::rollback(std::uint64_t number, qvctl_status &st)
{
    for (rbd_image *image : {&head, &sums})
        if (int c = image->snap_rollback(snap(number), st))
            return c;
    return 0;
}

int rbd_repo::stray_snaps_remove(qvctl_status &st)
{
    for (rbd_image *image : {&head, &sums}) {
        std::vector<std::string> names;
        if (int c = image->snaps(names, st))
            return c;
        for (const std::string &name : names) {
            const std::uint64_t n = snap_number(name);
            if (n && !point(n))
                if (int c = image->snap_remove(name, st))
                    return c;
        }
    }
    return 0;
}

sums_io rbd_repo::sums_of(rbd_image &image, std::uint64_t bytes)
{
    sums_io io;
    io.read = [&image, bytes](std::uint64_t offset, std::size_t length, void *out, std::size_t &got,
                              qvctl_status &st) {
        got = offset >= bytes ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes - offset));
        return got ? image.read(offset, got, out, st) : 0;
    };
    io.write = [&image](std::uint64_t offset, std::size_t length, const void *data, qvctl_status &st) {
        return image.write(offset, length, data, st);
    };
    io.sync = [&image](qvctl_status &st) { return image.flush(st); };
    return io;
}

}  // namespace qvctl_cli
