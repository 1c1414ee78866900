// qvctl changelog count|show.
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"

namespace qvctl_cli {

namespace {

int count(const invocation &inv)
{
    qvctl_status st{};
    uint32_t n = qvctl_changelog_count(inv.args[0], &st);
    if (st.code)
        return finish(st.code, st);
    std::printf("%u\n", n);
    return 0;
}

// One "START COUNT" line per run of changed 4 KiB blocks, START in 512-byte sectors.
int show(const invocation &inv)
{
    qvctl_status st{};
    std::unique_ptr<qvctl_changelog, decltype(&qvctl_changelog_free)> list(qvctl_changelog_get(inv.args[0], &st),
                                                                         qvctl_changelog_free);
    if (!list)
        return st.code ? finish(st.code, st) : 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(list.get());
    uint64_t n = 0;
    std::memcpy(&n, bytes, sizeof n);
    for (uint64_t i = 0; i < n; ++i) {
        qvctl_changelog_range r;
        std::memcpy(&r, bytes + 8 + sizeof r * i, sizeof r);
        std::printf("%llu %u\n", static_cast<unsigned long long>(r.start), r.count);
    }
    return 0;
}

constexpr command changelog[] = {
    {"count", "DEVICE", "print the number of 4 KiB blocks changed since the last snapshot", count, {}, 1},
    {"show", "DEVICE", "print the changed blocks as \"START COUNT\" lines (START in sectors)", show, {}, 1},
};

}  // namespace

std::span<const command> changelog_commands() { return changelog; }

}  // namespace qvctl_cli
