// SPDX-License-Identifier: GPL-2.0-or-later
// The one-node cluster that ctest starts before the Ceph tests (tests/rbd/cluster) and stops after
// them, as the tests see it: its configuration, its pool, the rbd command against it, and an image
// name of each test's own, whose images are removed at the test's end.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>

#include "capability.h"
#include "shell.h"

namespace cephtest {

inline const std::string conf = QV_CEPH_CONF;
inline const std::string cluster = QV_CEPH_CLUSTER;
inline const std::string pool = "qvtest";

inline std::string missing_cluster()
{
    return ::access(conf.c_str(), R_OK) == 0 ? "" : "the test cluster (" + conf + "; ceph-mon and ceph-osd installed?)";
}

#define QV_REQUIRE_CEPH()                              \
    do {                                               \
        QV_REQUIRE_ROOT_LOOP_FUSE();                   \
        QV_REQUIRE_CAPABILITY(cephtest::missing_cluster()); \
    } while (0)

inline qvtest::run_result rbd(const std::string &args)
{
    return qvtest::sh("rbd -c " + conf + " --rados-osd-op-timeout 20 " + args);
}

inline std::string ceph_flags(unsigned timeout = 30)
{
    return " --ceph-conf " + conf + " --ceph-timeout " + std::to_string(timeout);
}

// The numbers of the image's data objects that RADOS holds with any bytes in them (each 4 MiB of
// the image); an object given up may live on, empty or as a clone, for the snapshots.
inline std::set<std::uint64_t> objects_of(const std::string &image)
{
    auto info = rbd("info --format json " + pool + "/" + image);
    const std::string key = "\"block_name_prefix\":\"";
    const auto at = info.out.find(key);
    std::set<std::uint64_t> out;
    if (at == std::string::npos)
        return ADD_FAILURE() << info.out, out;
    const std::string prefix = info.out.substr(at + key.size(), info.out.find('"', at + key.size()) - at - key.size());
    std::istringstream names(qvtest::sh("rados -c " + conf + " -p " + pool + " ls | grep -F " + prefix + ".").out);
    for (std::string name; std::getline(names, name);) {
        auto stat = qvtest::sh("rados -c " + conf + " -p " + pool + " stat " + name);
        if (stat.status == 0 && stat.out.find("size 0\n") == std::string::npos)
            out.insert(std::stoull(name.substr(prefix.size() + 1), nullptr, 16));
    }
    return out;
}

// The 4 MiB parts of `content` that are not all zeros.
inline std::set<std::uint64_t> objects_with_data(const std::string &content)
{
    constexpr std::size_t object = 4u << 20;
    std::set<std::uint64_t> out;
    for (std::size_t at = 0; at < content.size(); at += object)
        if (content.find_first_not_of('\0', at) < at + object)
            out.insert(at / object);
    return out;
}

// An image name of the test's own: its repository "rbd:qvtest/NAME".
struct test_image {
    std::string name;
    explicit test_image(const std::string &n) : name(n + "-" + std::to_string(::getpid())) {}
    ~test_image()
    {
        for (const std::string &image : {name, name + ".quorvex-sums"})
            qvtest::sh("rbd -c " + conf + " snap purge " + pool + "/" + image + " >/dev/null 2>&1; rbd -c " + conf +
                       " rm --no-progress " + pool + "/" + image + " >/dev/null 2>&1");
    }
    std::string repo() const { return "rbd:" + pool + "/" + name; }
};

}  // namespace cephtest
