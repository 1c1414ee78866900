// SPDX-License-Identifier: GPL-2.0-or-later
// qvsim_bench_snapshot DEV: attaches DEV, maps three small stores and starts a snapshot, printing
// its device; qvsim_bench_snapshot DEV complete: completes it and detaches DEV. The stand-in needs
// no store files, so the requests are built here rather than by the store registration.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qvctl.h"
#include "request_block.h"
#include "request_layout.h"

namespace {

template <class F> std::uint32_t send(std::uint32_t nr, const char *dev, std::size_t length, F fill)
{
    qv::request_block b = qv::request_new(length, dev);
    if (!b)
        return 12;
    fill(b.span());
    qvctl_status st{};
    std::uint32_t code = qvctl_ioctl(qv::req::ioctl_code(nr), b.get(), dev, &st);
    if (code)
        std::fprintf(stderr, "%s\n", st.message);
    else if (nr == 4)
        std::printf("/dev/%.127s\n", reinterpret_cast<const char *>(b.get()) + qv::req::snapshot_start::name);
    return code;
}

void nothing(qv::mut_bytes) {}

int start(const char *dev)
{
    if (std::uint32_t code = send(0, dev, qv::req::min_size, nothing))
        return static_cast<int>(code);
    for (std::uint32_t kind = 0; kind < 3; ++kind) {
        auto code = send(8, dev, qv::req::store_map::length, [&](qv::mut_bytes b) {
            namespace m = qv::req::store_map;
            qv::store_le<std::uint32_t>(b, m::kind, kind);
            qv::store_le<std::uint32_t>(b, m::param, kind == STORE_DATA ? 2048 : 0);
            qv::store_le<std::uint32_t>(b, m::count, 1);
            qv::store_le<std::uint32_t>(b, m::flags, 5);
            qv::store_le<std::uint64_t>(b, m::extents, 64 + 64 * kind);
            qv::store_le<std::uint64_t>(b, m::extents + 8, 64);
        });
        if (code)
            return static_cast<int>(code);
    }
    return static_cast<int>(send(4, dev, qv::req::min_size, nothing));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2)
        return start(argv[1]);
    if (argc == 3 && std::strcmp(argv[2], "complete") == 0) {
        std::uint32_t code = send(5, argv[1], qv::req::min_size, nothing);
        return static_cast<int>(code ? code : send(1, argv[1], qv::req::min_size, nothing));
    }
    std::fprintf(stderr, "usage: qvsim_bench_snapshot DEV [complete]\n");
    return 22;
}
