// SPDX-License-Identifier: GPL-2.0-or-later
// Test fixture over the stand-in module (qvsim), for integration tests (*_itest.cpp).
//
//   #include "qvsim.h"
//   TEST(Thing, Works) {
//       QV_REQUIRE_ROOT_LOOP_FUSE();
//       qvtest::qvsim sim;                           // lock, `qvsim start`; destructor: `qvsim stop`
//       std::string dev = sim.disk("64M");           // /dev/loopN, sparse, served by the daemon
//       std::string part = sim.disk("64M", 2048);    // /dev/loopNp1, partition at sector 2048
//       sim.fault(4, 701);                           // next snapshot start fails with 701 (count 1)
//       sim.fault(7, 11, 3); sim.fault_clear();
//       sim.quirk("overcount"); sim.quirk_clear();   // also: unterminated, changelog-twice,
//                                                    // changelog-excess, no-fs-type, "eio-from SECTOR",
//                                                    // "slow-reads MICROSECONDS", "changelog-omit BLOCKS"
//       std::string state = sim.dump();              // daemon state as text; per store a line
//                                                    // "batches N flags F1,F2 extents E1,E2"
//       std::string all = sim.dump(true);            // also "extent FIRST COUNT" lines
//       auto r = sim.run("qvctl ...");               // shell command with the shim preloaded
//   }
//
// Linking this file into a test binary makes it re-execute itself at start with the shim in
// LD_PRELOAD (QVSIM_PRELOADED marks the second run), so in-process calls of qvctl_ioctl reach the
// daemon. Constructing `qvsim` takes /run/qvsim-fixture.lock (not the suite's own lock file, which
// the runner may already hold), so two fixtures never share the daemon. Failures of the set-up
// are test failures (ADD_FAILURE); valid() tells whether the daemon is up.
#pragma once

#include <string>

#include "shell.h"

namespace qvtest {

std::string qvsim_bin();      // the `qvsim` command of this build
std::string qvsim_shim();     // libqvsim_preload.so of this build

class qvsim {
public:
    qvsim();
    ~qvsim();
    qvsim(const qvsim &) = delete;
    qvsim &operator=(const qvsim &) = delete;

    bool valid() const { return up_; }
    // A new disk; "" (and a test failure) when it could not be made.
    std::string disk(const std::string &size, unsigned long partition_start = 0);
    void fault(unsigned nr, long value, unsigned count = 1);
    void fault_clear();
    void quirk(const std::string &name);
    void quirk_clear();
    std::string dump(bool extents = false);
    run_result run(const std::string &command);

private:
    int lock_fd_ = -1;
    bool up_ = false;
};

}  // namespace qvtest
