// SPDX-License-Identifier: LGPL-2.1-or-later
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "store/path_format.h"
#include "store/store_files.h"
#include "unique_fd.h"

// A binary search with ftruncate on a nameless file: it costs no blocks, and the wanted size is tried
// first so that a filesystem without a tight limit answers in one call.
extern "C" uint64_t file_size_limit_probe(const char *base, uint64_t wanted)
{
    char name[STORE_PATH_SIZE];
    qv::path_format(name, sizeof name, "%s-XXXXXX", base);
    qv::unique_fd fd(::mkstemp(name));
    if (!fd)
        return 0;
    ::unlink(name);
    uint64_t result = 0, candidate = wanted, step = wanted;
    do {
        step = step / 2 + step % 2;
        if (::ftruncate(fd.get(), static_cast<off_t>(candidate)) == 0) {
            result = candidate;
            if (result == wanted)
                break;
            candidate += step;
        } else {
            candidate -= step;
        }
    } while (step > STORE_PROBE_RESOLUTION);
    return result;
}
