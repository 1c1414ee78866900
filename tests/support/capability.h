// SPDX-License-Identifier: GPL-2.0-or-later
// Tests that need root, loop devices or FUSE: under CI a missing capability is a failure,
// elsewhere a skip that says what is missing.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qvtest {

bool in_ci();
// Empty when everything is there, else what is missing.
std::string missing_root_loop();
std::string missing_root_loop_fuse();

}  // namespace qvtest

#define QV_REQUIRE_CAPABILITY(missing_expr)                                                     \
    do {                                                                                        \
        const std::string qv_missing_ = (missing_expr);                                         \
        if (!qv_missing_.empty()) {                                                             \
            if (qvtest::in_ci())                                                                \
                GTEST_FAIL() << "required under CI: " << qv_missing_;                           \
            GTEST_SKIP() << "skipped: " << qv_missing_;                                         \
        }                                                                                       \
    } while (0)

#define QV_REQUIRE_ROOT_LOOP() QV_REQUIRE_CAPABILITY(qvtest::missing_root_loop())
#define QV_REQUIRE_ROOT_LOOP_FUSE() QV_REQUIRE_CAPABILITY(qvtest::missing_root_loop_fuse())
