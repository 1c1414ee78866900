// A filesystem made and mounted on a device that the test already has (a stand-in disk), unmounted
// and its directory removed when the owner goes.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "shell.h"

namespace storetest {

class mounted_fs {
public:
    mounted_fs(const std::string &device, const std::string &mkfs) : device_(device)
    {
        char tmpl[] = "/tmp/qvstore.XXXXXX";
        if (!::mkdtemp(tmpl)) {
            error_ = "mkdtemp failed";
            return;
        }
        dir_ = tmpl;
        auto r = qvtest::sh(mkfs + " " + device + " >/dev/null 2>&1 && mount " + device + " " + dir_ + " 2>&1");
        if (r.status != 0)
            error_ = mkfs + " / mount " + device + ": " + r.out;
        else
            mounted_ = true;
    }
    ~mounted_fs()
    {
        if (mounted_ && qvtest::sh("umount " + dir_).status != 0)
            qvtest::sh("umount -l " + dir_);
        if (!dir_.empty())
            ::rmdir(dir_.c_str());
    }
    mounted_fs(const mounted_fs &) = delete;
    mounted_fs &operator=(const mounted_fs &) = delete;

    bool ok() const { return mounted_; }
    const std::string &error() const { return error_; }
    const std::string &mount_point() const { return dir_; }
    std::string store(const std::string &name) const { return dir_ + "/.quorvex/" + name; }

private:
    std::string device_, dir_, error_;
    bool mounted_ = false;
};

}  // namespace storetest
