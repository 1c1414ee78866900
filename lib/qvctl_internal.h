/* The library's internal operations: exported C symbols for the tool, the tests and the library's own
 * parts, declared per concern. */
#ifndef QVCTL_INTERNAL_H
#define QVCTL_INTERNAL_H

#include "qvctl.h"

/* filesystem and device support */

/* btrfs */

/* stores */

/* changelog and zero fill */

#endif
