// SPDX-License-Identifier: GPL-2.0-or-later
// A small JSON writer for the commands' --json output: one document, built in memory, printed on one
// line. Keys and strings are escaped; bytes that are not UTF-8 are written as \u00XX.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qvctl_cli {

class json_writer {
public:
    json_writer &begin_object();
    json_writer &end_object();
    json_writer &begin_array();
    json_writer &end_array();
    json_writer &key(std::string_view name);
    json_writer &value(std::string_view text);
    json_writer &value(const char *text) { return value(std::string_view(text)); }
    json_writer &value(uint64_t number);
    json_writer &value(bool flag);
    json_writer &null();

    const std::string &text() const { return out_; }
    void print(FILE *stream = stdout) const { std::fprintf(stream, "%s\n", out_.c_str()); }

private:
    void separate();
    void open(char bracket);
    void close(char bracket);
    void quoted(std::string_view text);

    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool after_key_ = false;
};

}  // namespace qvctl_cli
