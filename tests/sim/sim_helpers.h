// SPDX-License-Identifier: GPL-2.0-or-later
// Request blocks built by hand for the stand-in's own tests.
#pragma once

#include <cstdint>
#include <string>

#include "bytes.h"
#include "qvctl.h"
#include "request_block.h"
#include "request_layout.h"

namespace simtest {

struct answer {
    std::uint32_t code = 0;
    qv::request_block block;
    std::string message;
    std::string text(std::size_t off) const { return reinterpret_cast<const char *>(block.get()) + off; }
};

// Sends request nr; `fill` sets the payload.
template <class F> answer send(std::uint32_t nr, const std::string &dev, std::size_t length, F fill)
{
    answer a;
    a.block = qv::request_new(length, dev.empty() ? nullptr : dev.c_str());
    fill(a.block.span());
    qvctl_status st{};
    a.code = qvctl_ioctl(qv::req::ioctl_code(nr), a.block.get(), dev.empty() ? nullptr : dev.c_str(), &st);
    a.message = st.message;
    return a;
}
inline answer send(std::uint32_t nr, const std::string &dev)
{
    return send(nr, dev, 528, [](qv::mut_bytes) {});
}

inline answer attach(const std::string &dev, std::uint32_t fs_type = 0)
{
    return send(0, dev, 528, [&](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 136, fs_type); });
}

// One store-map request of `n` extents {first + 16 i, length}.
inline answer map_extents(const std::string &dev, std::uint32_t kind, std::uint32_t flags, std::uint32_t n,
                          std::uint64_t first, std::uint32_t param = 0, std::uint64_t length = 8)
{
    return send(8, dev, qv::req::store_map::length, [&](qv::mut_bytes b) {
        qv::store_le<std::uint32_t>(b, 136, kind);
        qv::store_le<std::uint32_t>(b, 140, param);
        qv::store_le<std::uint32_t>(b, 144, n);
        qv::store_le<std::uint32_t>(b, 148, flags);
        for (std::uint32_t i = 0; i < n; ++i) {
            qv::store_le<std::uint64_t>(b, 152 + 16 * i, first + 16 * i);
            qv::store_le<std::uint64_t>(b, 160 + 16 * i, length);
        }
    });
}

// Each kind gets one batch of one extent (flags 1 | 4: first and last) holding the whole store.
inline void map_all_stores(const std::string &dev)
{
    for (std::uint32_t k = 0; k < 3; ++k)
        map_extents(dev, k, 5, 1, 1000 + 100 * k, 0, 16);
}

}  // namespace simtest
