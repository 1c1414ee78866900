// SPDX-License-Identifier: LGPL-2.1-or-later
// Bounds-checked field access for request blocks and on-disk structures.
// Every read names its offset and width once and is checked against the span it lies in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

namespace qv {

using bytes = std::span<const std::uint8_t>;
using mut_bytes = std::span<std::uint8_t>;

template <typename T>
concept Field = std::is_integral_v<T>;

template <Field T>
constexpr bool fits(std::size_t size, std::size_t offset) noexcept
{
    return offset <= size && size - offset >= sizeof(T);
}

template <Field T>
T byteswap(T v) noexcept
{
    if constexpr (sizeof(T) == 1) {
        return v;
    } else {
        using U = std::make_unsigned_t<T>;
        U u = static_cast<U>(v), r = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            r = static_cast<U>((r << 8) | (u & 0xff));
            u = static_cast<U>(u >> 8);
        }
        return static_cast<T>(r);
    }
}

// Reads that fall outside the buffer answer nullopt instead of touching memory.
template <Field T>
std::optional<T> try_load_le(bytes buf, std::size_t offset) noexcept
{
    if (!fits<T>(buf.size(), offset))
        return std::nullopt;
    T v;
    std::memcpy(&v, buf.data() + offset, sizeof(T));
    if constexpr (std::endian::native == std::endian::big)
        v = byteswap(v);
    return v;
}

template <Field T>
std::optional<T> try_load_be(bytes buf, std::size_t offset) noexcept
{
    auto v = try_load_le<T>(buf, offset);
    if (!v)
        return std::nullopt;
    return byteswap(*v);
}

// For fixed layouts whose size has been checked once: out-of-range reads give 0.
template <Field T>
T load_le(bytes buf, std::size_t offset) noexcept
{
    return try_load_le<T>(buf, offset).value_or(T{});
}

template <Field T>
T load_be(bytes buf, std::size_t offset) noexcept
{
    return try_load_be<T>(buf, offset).value_or(T{});
}

template <Field T>
bool store_le(mut_bytes buf, std::size_t offset, T v) noexcept
{
    if (!fits<T>(buf.size(), offset))
        return false;
    if constexpr (std::endian::native == std::endian::big)
        v = byteswap(v);
    std::memcpy(buf.data() + offset, &v, sizeof(T));
    return true;
}

// Copies a text field of at most `width` bytes; the result is always terminated.
inline std::size_t load_text(bytes buf, std::size_t offset, std::size_t width, char *out,
                             std::size_t out_size) noexcept
{
    if (out_size == 0)
        return 0;
    std::size_t n = 0;
    if (offset < buf.size()) {
        std::size_t avail = std::min(width, buf.size() - offset);
        while (n < avail && n + 1 < out_size && buf[offset + n] != 0) {
            out[n] = static_cast<char>(buf[offset + n]);
            ++n;
        }
    }
    out[n] = '\0';
    return n;
}

// A cursor for walks through untrusted data: the first out-of-range read sets a sticky error,
// after which every read answers 0 and the caller checks `ok()` once at the end.
class Cursor {
public:
    explicit Cursor(bytes buf, std::size_t offset = 0) noexcept : buf_(buf), pos_(offset) {}

    template <Field T>
    T le() noexcept
    {
        return take<T>(false);
    }
    template <Field T>
    T be() noexcept
    {
        return take<T>(true);
    }
    void skip(std::size_t n) noexcept
    {
        if (!failed_ && n <= buf_.size() && pos_ <= buf_.size() - n)
            pos_ += n;
        else
            failed_ = true;
    }
    void seek(std::size_t offset) noexcept
    {
        if (offset > buf_.size())
            failed_ = true;
        else
            pos_ = offset;
    }
    bytes take_bytes(std::size_t n) noexcept
    {
        if (failed_ || n > buf_.size() || pos_ > buf_.size() - n) {
            failed_ = true;
            return {};
        }
        auto out = buf_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::size_t offset() const noexcept { return pos_; }
    std::size_t remaining() const noexcept { return failed_ ? 0 : buf_.size() - pos_; }
    bool ok() const noexcept { return !failed_; }

private:
    template <Field T>
    T take(bool big) noexcept
    {
        if (failed_ || !fits<T>(buf_.size(), pos_)) {
            failed_ = true;
            return T{};
        }
        T v = big ? load_be<T>(buf_, pos_) : load_le<T>(buf_, pos_);
        pos_ += sizeof(T);
        return v;
    }

    bytes buf_;
    std::size_t pos_;
    bool failed_ = false;
};

}  // namespace qv
