// SPDX-License-Identifier: GPL-2.0-or-later
/* qvsnap's command line over the engine: options, usage and versions. */
#ifndef QV_SNAP_H
#define QV_SNAP_H

#include <stdio.h>

#include "snap_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLI_VERSION 2u

int snap_main(int argc, char **argv);
/* Parses the command line into opts and log_level; ends the process on usage, version and
 * argument errors. */
void snap_options_parse(int argc, char **argv, snap_options *opts, int *log_level);
[[noreturn]] void print_usage(const char *name, FILE *stream, int status);
[[noreturn]] void print_version(const char *name);
[[noreturn]] void print_cli_version(void);

#ifdef __cplusplus
}
#endif

#endif
