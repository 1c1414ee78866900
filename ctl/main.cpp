// SPDX-License-Identifier: GPL-2.0-or-later
#include "commands.h"

int main(int argc, char **argv) { return ctl_main(argc, argv); }
