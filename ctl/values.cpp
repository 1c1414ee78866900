// SPDX-License-Identifier: GPL-2.0-or-later
// Option values: sizes with K/M/G suffixes, bounded numbers, percentages, method and store names.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "rbd_client.h"
#include "size_text.h"

namespace qvctl_cli {

namespace {

struct named_value {
    const char *name;
    uint32_t value;
};

constexpr named_value map_methods[] = {
    {"auto", MAP_METHOD_AUTO}, {"fiemap", MAP_METHOD_FIEMAP}, {"fibmap", MAP_METHOD_FIBMAP},
    {"kernel", MAP_METHOD_KERNEL},
};

constexpr named_value store_kinds[] = {
    {"changelog", STORE_CHANGELOG}, {"data", STORE_DATA}, {"metadata", STORE_METADATA},
};

}  // namespace

bool parse_number(const char *text, const char *what, uint64_t max, uint64_t &out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || end == text || *end || *text == '-' || v > max) {
        usage_error("ERROR: %s must be a number from 0 to %llu, not \"%s\"", what,
                    static_cast<unsigned long long>(max), text);
        return false;
    }
    out = v;
    return true;
}

bool parse_bytes(const char *text, const char *what, uint64_t &out)
{
    if (qv::size_parse(text, out))
        return true;
    usage_error("ERROR: %s must be a byte count such as 4096, 512K, 32M or 2G, not \"%s\"", what, text);
    return false;
}

bool parse_percent(const char *text, double &out)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    // 0 asks for the library's default share; the library refuses 100 and above.
    if (end == text || *end || !std::isfinite(v) || v < 0 || v >= 100) {
        usage_error("ERROR: --percent must be from 0 (the default, 15) to below 100, not \"%s\"", text);
        return false;
    }
    out = v;
    return true;
}

// The library marks whole 512-byte sectors per chunk and keeps the chunk as a signed 32-bit number.
bool parse_mark_chunk(const char *text, uint64_t &out)
{
    constexpr uint64_t largest = 0x7fffffffu & ~uint64_t{511};
    uint64_t v = 0;
    if (!parse_bytes(text, "--chunk", v))
        return false;
    if (v % 512 || v > largest) {
        usage_error("ERROR: --chunk must be a multiple of 512 up to %llu, not \"%s\"",
                    static_cast<unsigned long long>(largest), text);
        return false;
    }
    out = v;
    return true;
}

bool parse_map_method(const char *text, uint32_t &out)
{
    for (const named_value &m : map_methods)
        if (!std::strcmp(m.name, text)) {
            out = m.value;
            return true;
        }
    usage_error("ERROR: --method must be auto, fiemap, fibmap or kernel, not \"%s\"", text);
    return false;
}

bool parse_store_kind(const char *text, bool allow_metadata, uint32_t &out)
{
    for (const named_value &k : store_kinds)
        if (!std::strcmp(k.name, text) && (allow_metadata || k.value != STORE_METADATA)) {
            out = k.value;
            return true;
        }
    usage_error("ERROR: the store must be changelog%s, not \"%s\"", allow_metadata ? ", data or metadata" : " or data",
                text);
    return false;
}

int workers_option(const invocation &inv)
{
    uint64_t workers = 1;
    if (const char *w = inv.option("workers"); w && !parse_number(w, "--workers", 1024, workers))
        return 0;
    if (workers < 1) {
        usage_error("ERROR: --workers must be greater or equal to 1");
        return 0;
    }
    return static_cast<int>(workers);
}

bool ceph_options_of(const invocation &inv, ceph_options &out)
{
    out.conf = inv.option("ceph-conf");
    out.id = inv.option("ceph-id");
    if (const char *t = inv.option("ceph-timeout")) {
        uint64_t seconds = 0;
        if (!parse_number(t, "--ceph-timeout", 86400, seconds))
            return false;
        if (!seconds)
            return usage_error("ERROR: --ceph-timeout must be at least 1 second"), false;
        out.timeout = static_cast<unsigned>(seconds);
    }
    return true;
}

}  // namespace qvctl_cli
