// SPDX-License-Identifier: GPL-2.0-or-later
#include "fake_module.h"

#include <algorithm>


namespace qvtest {
namespace {

namespace req = qv::req;

void put_extent(qv::mut_bytes b, std::size_t at, const sector_extent &e)
{
    qv::store_le<std::uint64_t>(b, at, e.start);
    qv::store_le<std::uint64_t>(b, at + 8, e.count);
}

void answer_changelog(fake_module &m, qv::mut_bytes b)
{
    const auto capacity = qv::load_le<std::uint32_t>(b, req::changelog::capacity);
    const auto start = qv::load_le<std::uint64_t>(b, req::changelog::start);
    if (capacity == 0) {  // the count
        std::uint32_t blocks = 0;
        for (auto &e : m.entries)
            blocks += static_cast<std::uint32_t>(e.count);
        qv::store_le<std::uint32_t>(b, req::changelog::returned, blocks);
        return;
    }
    m.starts.push_back(start);
    // The entries after the one whose last block is `start` (all of them for the first page).
    std::size_t from = 0;
    if (m.starts.size() > 1 && !m.ignore_start)
        while (from < m.entries.size() && m.entries[from].start + 8 * m.entries[from].count - 8 <= start)
            ++from;
    std::uint32_t k = 0;
    for (; k < capacity && from + k < m.entries.size(); ++k)
        put_extent(b, req::changelog::entries + 16 * k, {m.entries[from + k].start, m.entries[from + k].count});
    qv::store_le<std::uint32_t>(b, req::changelog::returned, k + m.overcount);
}

void answer_store_extents(const fake_module &m, qv::mut_bytes b)
{
    const auto n = static_cast<std::uint32_t>(m.held.size());
    const bool later = m.of(QVCTL_REQ_STORE_EXTENTS).size() > 1;
    qv::store_le<std::uint32_t>(b, req::store_extents::count, n + (later ? m.held_extra : 0));
    for (std::uint32_t i = 0; i < n && req::store_extents::extents + 16 * (i + 1) <= b.size(); ++i)
        put_extent(b, req::store_extents::extents + 16 * i, m.held[i]);
}

int answer(void *ctx, std::uint32_t code, void *block, const char *, qvctl_status *st)
{
    auto &m = *static_cast<fake_module *>(ctx);
    auto *p = static_cast<std::uint8_t *>(block);
    qv::mut_bytes b(p, qv::load_le<std::uint32_t>(qv::bytes(p, req::payload), req::size));
    m.requests.push_back({code, reinterpret_cast<const char *>(p + req::device), {b.begin(), b.end()}});
    if (m.fail_kind == 0 || m.fail_kind == code) {
        const auto seen = m.fail_kind == 0 ? m.requests.size() : m.of(code).size();
        if (static_cast<int>(seen) - 1 == m.fail_at_request)
            return qvctl_status_set(st, m.fail_with, "fake refusal");
    }
    if (code == QVCTL_REQ_CHANGELOG)
        answer_changelog(m, b);
    else if (code == QVCTL_REQ_STORE_EXTENTS)
        answer_store_extents(m, b);
    return 0;
}

}  // namespace

fake_module::fake_module() : handler_{answer, this}, replaced_(qv::request_channel_set(&handler_)) {}

fake_module::~fake_module() { qv::request_channel_set(replaced_); }

std::vector<fake_module::request> fake_module::of(std::uint32_t code) const
{
    std::vector<request> out;
    std::copy_if(requests.begin(), requests.end(), std::back_inserter(out),
                 [code](const request &r) { return r.code == code; });
    return out;
}

std::vector<qvctl_changelog_entry> make_entries(std::size_t n)
{
    std::vector<qvctl_changelog_entry> v;
    std::uint64_t sector = 64;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t count = 1 + i % 3;
        v.push_back({sector, count});
        sector += 8 * count + 16;
    }
    return v;
}

}  // namespace qvtest
