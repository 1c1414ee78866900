// SPDX-License-Identifier: GPL-2.0-or-later
#include "fake_changelog_module.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>

namespace qvtest {
namespace {
fake_changelog *active = nullptr;

uint32_t le32(const void *p, std::size_t off)
{
    uint32_t v;
    std::memcpy(&v, static_cast<const char *>(p) + off, 4);
    return v;
}

uint32_t answer(fake_changelog &m, void *block, qvctl_status *st)
{
    auto *b = static_cast<std::uint8_t *>(block);
    if (m.requests++ == m.fail_at_request)
        return static_cast<uint32_t>(qvctl_status_set(st, EIO, "fake refusal"));
    uint32_t cap = le32(b, 144);
    uint64_t start;
    std::memcpy(&start, b + 136, 8);
    if (cap == 0) {
        uint32_t blocks = 0;
        for (auto &e : m.entries)
            blocks += static_cast<uint32_t>(e.count);
        std::memcpy(b + 144, &blocks, 4);
        return 0;
    }
    m.starts.push_back(start);
    // Entries after the one whose last block is `start` (all of them for the first request).
    std::size_t from = 0;
    if (m.starts.size() > 1 && !m.ignore_start)
        while (from < m.entries.size() && m.entries[from].start + 8 * m.entries[from].count - 8 <= start)
            ++from;
    uint32_t k = 0;
    for (; k < cap && from + k < m.entries.size(); ++k)
        std::memcpy(b + 152 + 16 * k, &m.entries[from + k], 16);
    uint32_t claimed = k + m.overcount;
    std::memcpy(b + 144, &claimed, 4);
    return 0;
}
}  // namespace

fake_changelog::fake_changelog() { active = this; }
fake_changelog::~fake_changelog() { active = nullptr; }

std::vector<qvctl_changelog_entry> make_entries(std::size_t n)
{
    std::vector<qvctl_changelog_entry> v;
    uint64_t sector = 64;
    for (std::size_t i = 0; i < n; ++i) {
        uint64_t count = 1 + i % 3;
        v.push_back({sector, count});
        sector += 8 * count + 16;
    }
    return v;
}
}  // namespace qvtest

extern "C" uint32_t qvctl_ioctl(uint32_t code, void *block, const char *device, qvctl_status *st)
{
    if (qvtest::active && code == QVCTL_REQ_CHANGELOG)
        return qvtest::answer(*qvtest::active, block, st);
    using fn = uint32_t (*)(uint32_t, void *, const char *, qvctl_status *);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "qvctl_ioctl"));
    return real(code, block, device, st);
}

