// SPDX-License-Identifier: GPL-2.0-or-later
// A backup record as a line of JSON and back. The reader knows only the flat objects that the writer
// makes; anything else on a line makes that line unreadable rather than half read.
#include "chain_manifest.h"

#include <charconv>
#include <map>

#include "json_writer.h"

namespace qvctl_cli {

namespace {

struct cursor {
    std::string_view s;
    std::size_t i = 0;
    void skip()
    {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
    }
    bool eat(char c)
    {
        skip();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
};

bool read_string(cursor &c, std::string &out)
{
    if (!c.eat('"'))
        return false;
    while (c.i < c.s.size()) {
        char ch = c.s[c.i++];
        if (ch == '"')
            return true;
        if (ch != '\\') {
            out += ch;
            continue;
        }
        if (c.i >= c.s.size())
            return false;
        char e = c.s[c.i++];
        if (e == 'u') {
            unsigned v = 0;
            const char *hex = c.s.data() + c.i;
            if (c.i + 4 > c.s.size() || std::from_chars(hex, hex + 4, v, 16).ec != std::errc{})
                return false;
            c.i += 4;
            out += static_cast<char>(v < 0x100 ? v : '?');  // the writer's escape of a byte
        } else {
            static constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
            auto k = from.find(e);
            if (k == std::string_view::npos)
                return false;
            out += to[k];
        }
    }
    return false;
}

// A number, true or false, as its text.
bool read_bare(cursor &c, std::string &out)
{
    c.skip();
    std::size_t b = c.i;
    while (c.i < c.s.size() && c.s[c.i] != ',' && c.s[c.i] != '}' && c.s[c.i] != ' ')
        ++c.i;
    out.assign(c.s.substr(b, c.i - b));
    return !out.empty();
}

template <class T> bool number(const std::map<std::string, std::string> &m, const char *key, T &out)
{
    auto it = m.find(key);
    if (it == m.end())
        return true;  // absent: the default
    const std::string &v = it->second;
    return std::from_chars(v.data(), v.data() + v.size(), out).ec == std::errc{};
}

std::string text(const std::map<std::string, std::string> &m, const char *key)
{
    auto it = m.find(key);
    return it == m.end() ? std::string() : it->second;
}

}  // namespace

std::string chain_record_json(const chain_record &r)
{
    json_writer j;
    j.begin_object().key("seq").value(uint64_t{r.seq});
    if (r.point)
        j.key("point").value(uint64_t{r.point});
    j.key("kind").value(r.kind).key("start").value(r.start);
    if (!r.end.empty())
        j.key("end").value(r.end);
    j.key("device").value(r.device).key("fs").value(r.fs).key("snapshot").value(r.snapshot);
    j.key("blocks").value(uint64_t{r.blocks}).key("bytes").value(uint64_t{r.bytes});
    j.key("disk_bytes").value(uint64_t{r.disk_bytes}).key("verified").value(r.verified);
    j.key("result").value(r.result).key("pid").value(static_cast<uint64_t>(r.pid));
    if (r.code)
        j.key("code").value(uint64_t{r.code}).key("message").value(r.message);
    j.key("attach").value(r.attach).key("sectors").value(uint64_t{r.sectors}).key("uuid").value(r.uuid);
    if (r.resync)
        j.key("resync").value(true).key("why").value(r.why).key("differing").value(uint64_t{r.differing});
    if (r.spot_checked)
        j.key("spot_checked").value(uint64_t{r.spot_checked});
    return j.end_object().text();
}

std::optional<chain_record> chain_record_parse(std::string_view line)
{
    cursor c{line};
    std::map<std::string, std::string> m;
    if (!c.eat('{'))
        return std::nullopt;
    if (!c.eat('}')) {
        do {
            std::string key, value;
            if (!read_string(c, key) || !c.eat(':'))
                return std::nullopt;
            c.skip();
            bool ok = c.i < c.s.size() && c.s[c.i] == '"' ? read_string(c, value) : read_bare(c, value);
            if (!ok)
                return std::nullopt;
            m[key] = value;
        } while (c.eat(','));
        if (!c.eat('}'))
            return std::nullopt;
    }
    chain_record r;
    if (!number(m, "seq", r.seq) || !number(m, "point", r.point) || !number(m, "disk_bytes", r.disk_bytes) || !number(m, "blocks", r.blocks) || !number(m, "bytes", r.bytes) ||
        !number(m, "pid", r.pid) || !number(m, "code", r.code) || !number(m, "sectors", r.sectors) ||
        !number(m, "differing", r.differing) || !number(m, "spot_checked", r.spot_checked))
        return std::nullopt;
    r.kind = text(m, "kind");
    r.start = text(m, "start");
    r.end = text(m, "end");
    r.device = text(m, "device");
    r.fs = text(m, "fs");
    r.snapshot = text(m, "snapshot");
    r.verified = text(m, "verified") == "true";
    r.result = text(m, "result");
    r.message = text(m, "message");
    r.attach = text(m, "attach");
    r.uuid = text(m, "uuid");
    r.resync = text(m, "resync") == "true";
    r.why = text(m, "why");
    // The writer makes no negative pid: such a line was not written by it.
    if (r.kind.empty() || r.result.empty() || r.pid < 0)
        return std::nullopt;
    return r;
}

}  // namespace qvctl_cli
