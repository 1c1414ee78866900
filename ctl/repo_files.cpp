// SPDX-License-Identifier: GPL-2.0-or-later
// The repository as a folder: opened only when it is ours alone (no link, no other writer), so
// that no name inside it can be planted; locked for one run at a time; cleaned of what a cut run
// left before anything else reads it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <charconv>
#include <string_view>
#include <cstring>

#include "repo.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

int folder_open(repo &r, int at, const char *name, const std::string &shown, qv::unique_fd &out)
{
    out.reset(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out) {
        int e = errno;
        struct stat link;
        // With O_DIRECTORY, a link answers ENOTDIR rather than ELOOP.
        if (e == ENOTDIR && ::fstatat(at, name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
            e = ELOOP;
        if (e == ELOOP || e == ENOTDIR)
            return qvctl_status_set(&r.st, e, "ERROR: %s is %s; a repository is a folder of its own", shown.c_str(),
                                    e == ELOOP ? "a symbolic link" : "not a folder");
        return qvctl_status_set(&r.st, e, "ERROR: could not open %s: %s", shown.c_str(), std::strerror(e));
    }
    struct stat sb;
    if (::fstat(out.get(), &sb) != 0)
        return qvctl_status_set(&r.st, errno, "ERROR: could not read %s: %s", shown.c_str(), std::strerror(errno));
    if (sb.st_uid != ::geteuid())
        return qvctl_status_set(&r.st, EPERM, "ERROR: %s belongs to user %u; a repository must be the caller's own",
                                shown.c_str(), static_cast<unsigned>(sb.st_uid));
    if (sb.st_mode & (S_IWGRP | S_IWOTH))
        return qvctl_status_set(&r.st, EPERM, "ERROR: %s can be written by other users; make it 0700", shown.c_str());
    return 0;
}

// The names in an open folder, each handed to `fn`; the folder's own descriptor stays open.
template <class F> void names_of(int folder, F &&fn)
{
    int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    while (dirent *e = ::readdir(d))
        fn(e->d_name);
    ::closedir(d);
}

// Numbers of the deltas in the folder that have a map or a data file.
std::vector<std::uint64_t> delta_numbers(int deltas)
{
    std::vector<std::uint64_t> out;
    names_of(deltas, [&](const char *name) {
        std::uint64_t n = 0;
        auto [p, ec] = std::from_chars(name, name + std::strlen(name), n);
        if (ec == std::errc{} && p != name && (!std::strcmp(p, ".map") || !std::strcmp(p, ".data")))
            out.push_back(n);
    });
    return out;
}

// Deltas that no point owns: of points pruned (the manifest went first), or files of a delta
// whose creation was cut before its map existed.
void stray_deltas_remove(repo &r)
{
    const chain_record *oldest = r.points().empty() ? nullptr : r.points().front();
    const chain_record *newest = r.latest();
    for (std::uint64_t n : delta_numbers(r.deltas.get())) {
        const bool owned = oldest && n >= oldest->point && newest && n <= newest->point;
        struct stat sb;
        const bool mapped = ::fstatat(r.deltas.get(), delta_name(n, "map").c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0;
        if (owned && mapped)
            continue;
        ::unlinkat(r.deltas.get(), delta_name(n, "map").c_str(), 0);
        ::unlinkat(r.deltas.get(), delta_name(n, "data").c_str(), 0);
    }
}

// What a folder holds before its first manifest, when it was made a repository by a run cut short.
constexpr std::string_view early_names[] = {".", "..", "lock", "deltas"};

// A folder that is no repository yet may become one only while it holds nothing of anyone else's.
bool holds_others(int dir)
{
    bool others = false;
    names_of(dir, [&](const char *name) {
        others = others || std::find(std::begin(early_names), std::end(early_names), name) == std::end(early_names);
    });
    return others;
}

}  // namespace

std::string loop_serving(const struct stat &sb)
{
    std::string found;
    DIR *d = ::opendir("/sys/block");
    if (!d)
        return found;
    while (dirent *e = ::readdir(d)) {
        if (std::strncmp(e->d_name, "loop", 4) != 0)
            continue;
        std::string text;
        char buf[PATH_MAX + 1];
        qv::unique_fd fd(::open(("/sys/block/" + std::string(e->d_name) + "/loop/backing_file").c_str(),
                                O_RDONLY | O_CLOEXEC));
        ssize_t n = fd ? ::read(fd.get(), buf, PATH_MAX) : -1;
        if (n <= 0)
            continue;
        text.assign(buf, static_cast<std::size_t>(n));
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        struct stat b;
        if (::stat(text.c_str(), &b) == 0 && b.st_dev == sb.st_dev && b.st_ino == sb.st_ino) {
            found = "/dev/" + std::string(e->d_name);
            break;
        }
    }
    ::closedir(d);
    return found;
}

std::string delta_name(std::uint64_t point, const char *ext) { return std::to_string(point) + "." + ext; }

int repo_file_open(const repo &r, int at, const std::string &name, int flags, qv::unique_fd &out)
{
    (void)r;
    out.reset(::openat(at, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_LARGEFILE, 0600));
    return out ? 0 : errno;
}

int repo_open(repo &r, const std::string &path, repo_access access)
{
    r.path = path;
    while (r.path.size() > 1 && r.path.back() == '/')
        r.path.pop_back();
    if (access == repo_access::create && ::mkdir(r.path.c_str(), 0700) != 0 && errno != EEXIST)
        return qvctl_status_set(&r.st, errno, "ERROR: could not create the repository %s: %s", r.path.c_str(),
                                std::strerror(errno));
    if (int e = folder_open(r, AT_FDCWD, r.path.c_str(), r.path, r.dir))
        return e;
    struct stat sb;
    const bool has_manifest = ::fstatat(r.dir.get(), "manifest", &sb, AT_SYMLINK_NOFOLLOW) == 0;
    if (!has_manifest && access != repo_access::create)
        return qvctl_status_set(&r.st, ENOENT, "ERROR: %s is no backup repository: it has no manifest",
                                r.path.c_str());
    if (!has_manifest && holds_others(r.dir.get()))
        return qvctl_status_set(&r.st, EEXIST,
                                "ERROR: %s holds files but no manifest; a new repository needs an empty folder",
                                r.path.c_str());
    if (access != repo_access::read) {
        if (::mkdirat(r.dir.get(), "deltas", 0700) != 0 && errno != EEXIST)
            return qvctl_status_set(&r.st, errno, "ERROR: could not create %s: %s", r.file("deltas").c_str(),
                                    std::strerror(errno));
        if (int e = repo_file_open(r, r.dir.get(), "lock", O_RDWR | O_CREAT, r.lock))
            return qvctl_status_set(&r.st, e, "ERROR: could not open %s: %s", r.file("lock").c_str(),
                                    std::strerror(e));
        if (::flock(r.lock.get(), LOCK_EX | LOCK_NB) != 0)
            return qvctl_status_set(&r.st, EBUSY, "ERROR: %s is in use by another run", r.path.c_str());
    }
    if (::fstatat(r.dir.get(), "deltas", &sb, AT_SYMLINK_NOFOLLOW) == 0)
        if (int e = folder_open(r, r.dir.get(), "deltas", r.file("deltas"), r.deltas))
            return e;
    if (!chain_read(r.manifest(), r.records, r.st))
        return r.st.code;
    if (access == repo_access::read || !r.latest())
        return 0;
    std::uint64_t blocks = 0;
    const std::uint64_t latest = r.latest()->point;
    if (::fstatat(r.deltas.get(), delta_name(latest, "map").c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0) {
        if (int e = repo_rollback(r, blocks))
            return e;
        qvctl_log(LOG_NOTICE, stdout,
                  "A backup into %s was cut short; its image is rolled back to point %llu (%llu blocks put back)",
                  r.path.c_str(), static_cast<ull>(latest), static_cast<ull>(blocks));
    }
    stray_deltas_remove(r);
    return 0;
}

bool repo_ref_parse(const std::string &text, std::string &folder, std::uint64_t &point)
{
    auto at = text.rfind('@');
    point = 0;
    folder = text;
    if (at == std::string::npos || at == 0)
        return true;
    const char *b = text.data() + at + 1, *e = text.data() + text.size();
    auto [p, ec] = std::from_chars(b, e, point);
    if (ec != std::errc{} || p != e || point == 0)
        return false;
    folder = text.substr(0, at);
    return true;
}

std::uint64_t point_disk_bytes(const repo &r, const chain_record &point)
{
    const chain_record *latest = r.latest();
    auto allocated = [&](int at, const std::string &name) -> std::uint64_t {
        struct stat sb;
        if (at < 0 || ::fstatat(at, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0)
            return 0;
        return static_cast<std::uint64_t>(sb.st_blocks) * 512;
    };
    if (latest && latest->point == point.point)
        return allocated(r.dir.get(), "image") + allocated(r.dir.get(), "sums");
    return allocated(r.deltas.get(), delta_name(point.point, "map")) +
           allocated(r.deltas.get(), delta_name(point.point, "data"));
}

}  // namespace qvctl_cli
