// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds one line of a chain manifest to its reader. Whatever record it accepts must be written back
// as a line that reads as the same record: the reader and the writer agree on every field there is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "chain_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    auto record = qvctl_cli::chain_record_parse(line);
    if (!record)
        return 0;
    const std::string written = qvctl_cli::chain_record_json(*record);
    auto again = qvctl_cli::chain_record_parse(written);
    if (!again || qvctl_cli::chain_record_json(*again) != written)
        std::abort();
    return 0;
}
