// SPDX-License-Identifier: GPL-2.0-or-later
// The chain manifest as a file: read whole through a descriptor that follows no planted link, and
// replaced whole.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string_view>

#include "chain_manifest.h"
#include "file_replace.h"
#include "snap_engine.h"
#include "unique_fd.h"

namespace qvctl_cli {

bool chain_read(const std::string &path, std::vector<chain_record> &out, qvctl_status &st)
{
    out.clear();
    // A manifest planted by another user is neither followed nor believed.
    qvctl_status refused{};
    qv::unique_fd fd(snap_file_open(path.c_str(), O_RDONLY, 0, &refused));
    if (!fd) {
        if (refused.code)
            return st = refused, false;
        if (errno == ENOENT)
            return true;
        qvctl_status_set(&st, errno ? errno : EIO, "ERROR: could not read %s", path.c_str());
        return false;
    }
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return qvctl_status_set(&st, errno, "ERROR: could not read %s", path.c_str()), false;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return chain_parse(text, path, out, st);
}

bool chain_write(const std::string &path, const std::vector<chain_record> &records, qvctl_status &st)
{
    return file_replace(path, chain_text(records), 0644, st);
}

std::string chain_text(const std::vector<chain_record> &records)
{
    std::string text;
    for (const chain_record &r : records)
        text += chain_record_json(r) + "\n";
    return text;
}

bool chain_parse(std::string_view text, const std::string &name, std::vector<chain_record> &out, qvctl_status &st)
{
    out.clear();
    std::string_view rest = text;
    for (unsigned n = 1; !rest.empty(); ++n) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty())
            continue;
        auto r = chain_record_parse(line);
        if (!r) {
            qvctl_status_set(&st, EBADMSG, "ERROR: %s: line %u is no backup record", name.c_str(), n);
            return false;
        }
        out.push_back(*r);
    }
    return true;
}

std::vector<const chain_record *> chain_points::points() const
{
    std::vector<const chain_record *> out;
    for (const chain_record &rec : records)
        if (rec.result == "succeeded" && rec.point)
            out.push_back(&rec);
    return out;
}

const chain_record *chain_points::latest() const
{
    auto p = points();
    return p.empty() ? nullptr : p.back();
}

const chain_record *chain_points::point(std::uint64_t number) const
{
    for (const chain_record *p : points())
        if (p->point == number)
            return p;
    return nullptr;
}

std::string utc_now()
{
    char buf[32] = "";
    std::time_t now = std::time(nullptr);
    std::tm tm;
    if (::gmtime_r(&now, &tm))
        std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace qvctl_cli
