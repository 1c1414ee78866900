// SPDX-License-Identifier: GPL-2.0-or-later
// A private directory under /tmp that is removed with everything in it when the owner goes.
#pragma once

#include <string>

namespace qvtest {

class temp_dir {
public:
    temp_dir();  // path() is empty when the directory could not be made
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes `text` into the file `name` and answers its path.
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string path_;
};

}  // namespace qvtest
