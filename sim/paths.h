// SPDX-License-Identifier: GPL-2.0-or-later
// Where the stand-in keeps its state; one daemon per machine, so the paths are fixed.
#pragma once

namespace qvsim {

constexpr const char *state_dir = "/run/qvsim";
constexpr const char *fs_dir = "/run/qvsim/fs";        // the FUSE mount: diskN, snapN
constexpr const char *data_dir = "/run/qvsim/data";    // backing files and preserved blocks
constexpr const char *socket_path = "/run/qvsim/sock";
constexpr const char *pid_path = "/run/qvsim/qvsimd.pid";
constexpr const char *log_path = "/run/qvsim/qvsimd.log";
constexpr const char *loops_path = "/run/qvsim/loops";  // loop devices made, for cleanup after a crash
constexpr const char *node_path = "/dev/quorvex";

// Socket message kinds: a request block from the shim, or a command line from `qvsim`.
constexpr unsigned msg_request = 1;
constexpr unsigned msg_command = 2;
constexpr unsigned max_block = 1u << 20;

}  // namespace qvsim
