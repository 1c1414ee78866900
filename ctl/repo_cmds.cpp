// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl repo restore|list|check|prune|mount|umount: the restore points of a repository.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <string>

#include "commands.h"
#include "json_writer.h"
#include "rbd_repo.h"
#include "repo_restore.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

bool progress_shown() { return !json_output() && ::isatty(STDOUT_FILENO); }

bool ref_parse(const char *text, std::string &folder, std::uint64_t &point)
{
    if (repo_ref_parse(text, folder, point))
        return true;
    usage_error("ERROR: %s is no repository: REPO or REPO@N, N a point's number", text);
    return false;
}

std::string size_text(std::uint64_t bytes)
{
    static constexpr const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    std::size_t u = 0;
    for (; v >= 1024 && u + 1 < std::size(units); ++u)
        v /= 1024;
    char buf[32];
    std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
    return buf;
}

constexpr option_spec workers_own[] = {
    {"workers", "N", "read with N parallel workers (default 1)", 'w'},
};
constexpr auto restore_options = with_ceph(workers_own);
constexpr auto ceph_only = [] {
    std::array<option_spec, std::size(ceph_option_specs)> all{};
    std::copy(std::begin(ceph_option_specs), std::end(ceph_option_specs), all.begin());
    return all;
}();

int restore(const invocation &inv)
{
    restore_request req;
    req.workers = workers_option(inv);
    if (!req.workers || !ref_parse(inv.args[0], req.repo, req.point))
        return EINVAL;
    req.target = inv.args[1];
    req.progress = progress_shown();
    ceph_options ceph;
    if (!ceph_options_of(inv, ceph))
        return EINVAL;
    req.ceph = &ceph;
    snap_signals_install();
    restore_result out;
    qvctl_status st{};
    if (int code = repo_restore(req, out, st))
        return finish(code, st);
    if (json_output()) {
        json_writer().begin_object().key("repo").value(req.repo).key("point").value(uint64_t{out.point})
            .key("target").value(req.target).key("bytes").value(uint64_t{out.bytes})
            .key("data_blocks").value(uint64_t{out.data_blocks}).key("zero_blocks").value(uint64_t{out.zero_blocks})
            .key("result").value("succeeded").end_object().print();
        return 0;
    }
    std::printf("Restored point %llu of %s into %s: %llu bytes, %llu blocks of data and %llu of zeros (%s), every "
                "block checked against its checksum\n",
                static_cast<ull>(out.point), req.repo.c_str(), req.target.c_str(), static_cast<ull>(out.bytes),
                static_cast<ull>(out.data_blocks), static_cast<ull>(out.zero_blocks),
                out.device ? "zeroed" : "left as holes");
    return 0;
}

// The records of a repository with what each point takes on disk.
struct listing {
    std::string name;
    std::vector<chain_record> records;
    std::vector<std::uint64_t> disk;
};

int listing_read(const invocation &inv, listing &out, qvctl_status &st)
{
    if (rbd_ref_is(inv.args[0])) {
        ceph_options ceph;
        if (!ceph_options_of(inv, ceph))
            return EINVAL;
        rbd_repo r;
        if (int code = r.open(inv.args[0], ceph, repo_access::read, st))
            return code;
        out.name = r.label;
        out.records = r.records;
        for (const chain_record &rec : r.records)
            out.disk.push_back(rec.disk_bytes);
        return 0;
    }
    repo r;
    if (int code = repo_open(r, inv.args[0], repo_access::read))
        return st = r.st, code;
    out.name = r.path;
    out.records = r.records;
    for (const chain_record &rec : r.records)
        out.disk.push_back(rec.point ? point_disk_bytes(r, rec) : 0);
    return 0;
}

int list(const invocation &inv)
{
    listing l;
    qvctl_status st{};
    if (int code = listing_read(inv, l, st))
        return code == EINVAL && !st.code ? code : finish(code, st);
    if (json_output()) {
        json_writer j;
        j.begin_object().key("repo").value(l.name).key("points").begin_array();
        for (std::size_t i = 0; i < l.records.size(); ++i) {
            const chain_record &rec = l.records[i];
            j.begin_object();
            if (rec.point)
                j.key("point").value(uint64_t{rec.point});
            else
                j.key("point").null();
            j.key("seq").value(uint64_t{rec.seq}).key("time").value(rec.start).key("kind").value(rec.kind);
            j.key("blocks").value(uint64_t{rec.blocks}).key("disk_bytes").value(rec.point ? l.disk[i] : uint64_t{0});
            j.key("result").value(rec.result).end_object();
        }
        j.end_array().end_object().print();
        return 0;
    }
    std::printf("%-6s %-21s %-12s %10s %11s  %s\n", "POINT", "TIME", "KIND", "BLOCKS", "ON DISK", "RESULT");
    for (std::size_t i = 0; i < l.records.size(); ++i) {
        const chain_record &rec = l.records[i];
        const std::string point = rec.point ? std::to_string(rec.point) : "-";
        const std::string disk = rec.point ? size_text(l.disk[i]) : "-";
        std::printf("%-6s %-21s %-12s %10llu %11s  %s\n", point.c_str(), rec.start.c_str(), rec.kind.c_str(),
                    static_cast<ull>(rec.blocks), disk.c_str(), rec.result.c_str());
    }
    return 0;
}

constexpr option_spec check_own[] = {
    {"point", "N", "check what point N needs (the image and the deltas down to its own) instead of every point"},
    {"workers", "N", "read the image with N parallel workers (default 1)", 'w'},
};

constexpr auto check_options = with_ceph(check_own);

int check(const invocation &inv)
{
    const int workers = workers_option(inv);
    std::uint64_t point = 0;
    if (!workers)
        return EINVAL;
    if (const char *n = inv.option("point")) {
        if (!parse_number(n, "--point", UINT64_MAX, point))
            return EINVAL;
        if (!point)
            return usage_error("ERROR: points are numbered from 1");
    }
    ceph_options ceph;
    if (!ceph_options_of(inv, ceph))
        return EINVAL;
    snap_signals_install();
    check_result out;
    qvctl_status st{};
    const int code = repo_check(inv.args[0], &ceph, point, workers, progress_shown(), out, st);
    if (code && code != repo_damaged)
        return finish(code, st);
    if (json_output()) {
        json_writer j;
        j.begin_object().key("repo").value(inv.args[0]).key("points").begin_array();
        for (std::uint64_t p : out.points)
            j.value(uint64_t{p});
        j.end_array().key("blocks").value(uint64_t{out.blocks}).key("damaged").value(uint64_t{out.damaged});
        j.key("first_damaged").begin_array();
        for (const damage &d : out.first_damaged)
            j.begin_object().key("point").value(uint64_t{d.point}).key("sector").value(uint64_t{d.sector}).end_object();
        j.end_array().end_object().print();
        return code;
    }
    if (!code) {
        std::printf("%s: points %llu to %llu, %llu blocks, every one equal to its checksum\n", inv.args[0],
                    static_cast<ull>(out.points.front()), static_cast<ull>(out.points.back()),
                    static_cast<ull>(out.blocks));
        return 0;
    }
    std::string first;
    for (const damage &d : out.first_damaged)
        first += (first.empty() ? "" : ", ") + std::string("point ") + std::to_string(d.point) + " sector " +
                 std::to_string(d.sector);
    qvctl_log(LOG_ERR, stderr, "ERROR: %s: %llu of %llu blocks differ from their checksums; the first: %s",
              inv.args[0], static_cast<ull>(out.damaged), static_cast<ull>(out.blocks), first.c_str());
    return code;
}

constexpr option_spec prune_own[] = {
    {"keep", "N", "keep the newest N points (the latest always) and remove the older ones"},
};

constexpr auto prune_options = with_ceph(prune_own);

int prune(const invocation &inv)
{
    std::uint64_t keep = 0;
    const char *n = inv.option("keep");
    if (!n)
        return usage_error("ERROR: --keep N is required");
    if (!parse_number(n, "--keep", UINT64_MAX, keep))
        return EINVAL;
    ceph_options ceph;
    if (!ceph_options_of(inv, ceph))
        return EINVAL;
    prune_result out;
    qvctl_status st{};
    if (int code = repo_prune(inv.args[0], &ceph, keep, out, st))
        return finish(code, st);
    if (out.removed.empty())
        return finish(0, st, std::string(inv.args[0]) + ": nothing to prune, " + std::to_string(out.kept.size()) +
                                 " points kept");
    return finish(0, st,
                  std::string(inv.args[0]) + ": points " + std::to_string(out.removed.front()) + " to " +
                      std::to_string(out.removed.back()) + " removed, " + size_text(out.freed) + " freed; points " +
                      std::to_string(out.kept.front()) + " to " + std::to_string(out.kept.back()) + " kept");
}

// An image in Ceph is mapped by the kernel's RBD client, which this host may lack; restoring works
// from any host.
int rbd_mount_refused(const std::string &ref)
{
    qvctl_status st{};
    rbd_ref r;
    if (!rbd_ref_parse(ref, r, st))
        return finish(st.code, st);
    const std::string point = r.point ? "@" + std::to_string(r.point) : "";
    qvctl_status_set(&st, EOPNOTSUPP,
                     "ERROR: %s cannot be mounted here (this host maps no RBD images); restore the point into a "
                     "file and mount that: qvctl repo restore %s%s FILE",
                     r.text().c_str(), r.text().c_str(), point.c_str());
    return finish(st.code, st);
}

int mount(const invocation &inv)
{
    if (rbd_ref_is(inv.args[0]))
        return rbd_mount_refused(inv.args[0]);
    std::string folder, device;
    std::uint64_t point = 0;
    if (!ref_parse(inv.args[0], folder, point))
        return EINVAL;
    qvctl_status st{};
    const int code = repo_mount(folder, point, inv.args[1], device, st);
    return finish(code, st, std::string(inv.args[0]) + " mounted read-only at " + inv.args[1] + " (" + device + ")");
}

int umount(const invocation &inv)
{
    qvctl_status st{};
    return finish(repo_umount(inv.args[0], st), st, std::string(inv.args[0]) + " unmounted");
}

constexpr command repo_table[] = {
    {"restore", "REPO[@N] TARGET [-w N] [--json]",
     "write point N (default: the latest) into a file or a block device, checking every block", restore,
     restore_options, 2, nullptr, true},
    {"list", "REPO [--json]", "list the backups of a repository and the points they made", list, ceph_only, 1, nullptr, true},
    {"check", "REPO [--point N] [-w N] [--json]",
     "compare every block of the repository with its checksum; exit 9 when one differs", check, check_options, 1,
     nullptr, true},
    {"prune", "REPO --keep N", "keep the newest N points and remove the older ones", prune, prune_options, 1},
    {"mount", "REPO[@N] DIR", "mount point N (default: the latest) read-only at DIR", mount, ceph_only, 2},
    {"umount", "DIR", "unmount a point mounted with repo mount", umount, {}, 1},
};

}  // namespace

std::span<const command> repo_commands() { return repo_table; }

}  // namespace qvctl_cli
