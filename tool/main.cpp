// SPDX-License-Identifier: GPL-2.0-or-later
#include "snap.h"

int main(int argc, char **argv) { return snap_main(argc, argv); }
