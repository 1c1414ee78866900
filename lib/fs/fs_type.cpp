#include "fs/fs_type.h"

#include <blkid.h>

#include "heap_block.h"

extern "C" fs_type fs_type_detect(const char *device)
{
    if (!device)
        return FS_TYPE_UNKNOWN;
    qv::heap_ptr<char> name(blkid_get_tag_value(nullptr, "TYPE", device));
    if (!name)
        return FS_TYPE_UNKNOWN;
    return qv::fs_type_from_name(name.get());
}
