// SPDX-License-Identifier: GPL-2.0-or-later
// Refusals of the stand-in as errno values, faults, and callers without root. A store mapped twice,
// a batch with nothing open and the store read-back are the store tests' own; the missing module is
// the channel's; faults, with their counts and values past a byte, are what qvctl's and the
// program's refusal tests set up.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "capability.h"
#include "qvsim.h"
#include "sim_helpers.h"

using namespace simtest;

TEST(SimRefusals, EveryRefusalIsItsErrno)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    ASSERT_FALSE(dev.empty());
    EXPECT_EQ(attach("/dev/null").code, 6u);
    EXPECT_EQ(send(2, "/dev/null").code, 19u);
    EXPECT_EQ(send(2, dev).code, 19u);  // not attached
    EXPECT_EQ(send(2, dev, 528, [](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 0, 10); }).code, 188u);
    EXPECT_EQ(send(2, dev, 528, [](qv::mut_bytes b) { qv::store_le<std::uint32_t>(b, 4, 100); }).code, 22u);
    auto outside = send(0, dev, 528, [](qv::mut_bytes b) {
        qv::store_le<std::uint32_t>(b, 144, 1);
        qv::store_le<std::uint64_t>(b, 152, 131000);
        qv::store_le<std::uint64_t>(b, 160, 1000);
    });
    EXPECT_EQ(outside.code, 22u);
    ASSERT_EQ(attach(dev).code, 0u);

    EXPECT_EQ(send(4, dev).code, 194u);  // 706: no changelog store
    map_store(dev, 0, 100, 8);
    EXPECT_EQ(send(4, dev).code, 195u);  // 707: no data store
    EXPECT_EQ(map_store(dev, 1, 0, 0).code, 199u);  // 711: no sectors
    map_store(dev, 1, 200, 8);
    EXPECT_EQ(send(4, dev).code, 197u);  // 709: no metadata store
    map_store(dev, 2, 300, 8);
    EXPECT_EQ(send(5, dev).code, 190u);
    ASSERT_EQ(send(4, dev).code, 0u);
    EXPECT_EQ(send(1, dev).code, 189u);
    EXPECT_EQ(send(9, dev).code, 189u);
    EXPECT_EQ(send(14, dev).code, 0u);  // reset cancels and drops the stores
    EXPECT_EQ(send(6, dev).code, 190u);
    EXPECT_EQ(send(4, dev).code, 194u);

    EXPECT_EQ(phase(dev, 1).code, 5u);
    EXPECT_EQ(phase(dev, 0).code, 0u);
    EXPECT_EQ(phase(dev, 0).code, 16u);
    EXPECT_EQ(phase(dev, 1).code, 5u);  // nothing marked; the watch is over
    EXPECT_EQ(phase(dev, 2).code, 5u);
}

TEST(SimRefusals, NonRootIsRefused)
{
    QV_REQUIRE_ROOT_LOOP_FUSE();
    qvtest::qvsim sim;
    std::string dev = sim.disk("64M");
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(90);
        ::_exit(static_cast<int>(attach(dev).code));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 13);  // EACCES on the root-only node
    EXPECT_NE(qvtest::sh(qvtest::qvsim_bin() + " status").out.find("running"), std::string::npos);
}
