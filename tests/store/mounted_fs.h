// SPDX-License-Identifier: GPL-2.0-or-later
// A filesystem made and mounted on a device that the test already has (a stand-in disk), unmounted
// and its directory removed when the owner goes.
#pragma once

#include <string>

#include "../sim/fs_helpers.h"
#include "shell.h"
#include "temp_dir.h"

namespace storetest {

class mounted_fs {
public:
    // No mount is tried over a failed mkfs: the device would show its old filesystem.
    mounted_fs(const std::string &device, const std::string &mkfs)
        : mkfs_(qvtest::sh(mkfs + " " + device + " >/dev/null")),
          mount_(mkfs_.status == 0 ? device : "", dir_.file("mnt"))
    {
    }

    bool ok() const { return mkfs_.status == 0 && mount_.ok(); }
    std::string error() const { return "mkfs / mount: " + mkfs_.out + mount_.error(); }
    std::string mount_point() const { return dir_.file("mnt"); }
    std::string store(const std::string &name) const { return mount_point() + "/.quorvex/" + name; }

private:
    qvtest::temp_dir dir_;
    qvtest::run_result mkfs_;
    simtest::mount_guard mount_;
};

}  // namespace storetest
