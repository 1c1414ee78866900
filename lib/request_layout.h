// SPDX-License-Identifier: LGPL-2.1-or-later
// Offsets and sizes of the request blocks exchanged with the module, written once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qvctl.h"

namespace qv::req {

constexpr std::uint32_t ioctl_code(std::uint32_t nr) noexcept
{
    return (2u << 30) | (QVCTL_REQUEST_MIN_SIZE << 16) | (0x42u << 8) | nr;
}
static_assert(ioctl_code(0) == 0x82104200u && ioctl_code(14) == 0x8210420eu);
static_assert(QVCTL_REQ_ATTACH == ioctl_code(0) && QVCTL_REQ_RESET == ioctl_code(14));
static_assert(sizeof(qvctl_request) == 136 && sizeof(sector_extent) == 16);

constexpr std::size_t min_size = QVCTL_REQUEST_MIN_SIZE;
constexpr std::size_t version = 0;
constexpr std::size_t size = 4;
constexpr std::size_t device = 8;
constexpr std::size_t device_width = 128;
constexpr std::size_t payload = 136;
constexpr std::size_t extent_size = 16;
constexpr std::size_t page_budget = 4096;

// Length of a block whose variable part holds n items of `item` bytes after `header`.
constexpr std::size_t block_length(std::size_t header, std::size_t n, std::size_t item) noexcept
{
    std::size_t len = header + n * item;
    return len < min_size ? min_size : len;
}

namespace attach {
constexpr std::size_t fs_type = 136, flags = 140, count = 144, extents = 152;
}
namespace device_record {
constexpr std::size_t size = 516, text_width = 128, texts = 4, state = 512;
}
namespace device_info {
constexpr std::size_t record = 8;
}
namespace device_list {
constexpr std::size_t count = 8, records = 12;
}
namespace snapshot_start {
constexpr std::size_t flag = 136, name = 137;
}
namespace snapshot_complete {
constexpr std::size_t cancel = 136;
}
namespace snapshot_get {
constexpr std::size_t name = 136;
}
namespace changelog {
constexpr std::size_t start = 136, capacity = 144, returned = 144, entries = 152, header = 144,
                      chunk = 247;
}
namespace store_map {
constexpr std::size_t kind = 136, param = 140, count = 144, flags = 148, extents = 152,
                      header = 152, batch = 246, length = 4088;
}
namespace data_store_unmap {
constexpr std::size_t zero = 136;
}
namespace kernel_extents {
constexpr std::size_t phase = 136, count = 140, extents = 144;
}
namespace store_extents {
constexpr std::size_t kind = 136, count = 144, extents = 152;
}
namespace restore {
constexpr std::size_t second_path = 136;
}

static_assert(block_length(changelog::entries, changelog::chunk, extent_size) == 4104);
static_assert(block_length(store_map::extents, store_map::batch, extent_size) == store_map::length);

}  // namespace qv::req
