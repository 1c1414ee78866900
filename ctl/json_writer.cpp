// SPDX-License-Identifier: GPL-2.0-or-later
#include "json_writer.h"

namespace qvctl_cli {

namespace {

// The length of the UTF-8 sequence that starts `s`, or 0 when it is not a well-formed one.
std::size_t utf8_length(std::string_view s)
{
    const auto lead = static_cast<unsigned char>(s[0]);
    const std::size_t n = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 0;
    if (n == 0 || lead > 0xf4 || s.size() < n)
        return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xc0) != 0x80)
            return 0;
    return n;
}

}  // namespace

void json_writer::separate()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back())
            out_ += ',';
        first_.back() = false;
    }
}

void json_writer::open(char bracket)
{
    separate();
    out_ += bracket;
    first_.push_back(true);
}

void json_writer::close(char bracket)
{
    out_ += bracket;
    first_.pop_back();
}

json_writer &json_writer::begin_object()
{
    open('{');
    return *this;
}

json_writer &json_writer::end_object()
{
    close('}');
    return *this;
}

json_writer &json_writer::begin_array()
{
    open('[');
    return *this;
}

json_writer &json_writer::end_array()
{
    close(']');
    return *this;
}

json_writer &json_writer::key(std::string_view name)
{
    separate();
    quoted(name);
    out_ += ':';
    after_key_ = true;
    return *this;
}

json_writer &json_writer::value(std::string_view text)
{
    separate();
    quoted(text);
    return *this;
}

json_writer &json_writer::value(uint64_t number)
{
    separate();
    out_ += std::to_string(number);
    return *this;
}

json_writer &json_writer::value(bool flag)
{
    separate();
    out_ += flag ? "true" : "false";
    return *this;
}

json_writer &json_writer::null()
{
    separate();
    out_ += "null";
    return *this;
}

void json_writer::quoted(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out_ += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out_ += static_cast<char>(c);
        } else if (std::size_t n = c >= 0x80 ? utf8_length(text.substr(i)) : 0; n) {
            out_.append(text.substr(i, n));
            i += n - 1;
        } else {
            out_ += "\\u00";
            out_ += hex[c >> 4];
            out_ += hex[c & 15];
        }
    }
    out_ += '"';
}

}  // namespace qvctl_cli
