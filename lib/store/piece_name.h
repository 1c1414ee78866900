// SPDX-License-Identifier: LGPL-2.1-or-later
// Which files of the store directory are pieces of a store: the store path itself, or the store
// path followed by "-" and a piece number (1, 2, ..., no leading zeros). Anything else that begins
// with the store's name (data.bak, data-old, changelog~) belongs to someone else and must never be
// handed to the module.
#pragma once

#include <string_view>

namespace qv {

constexpr bool is_store_piece(std::string_view store, std::string_view name)
{
    if (!name.starts_with(store))
        return false;
    name.remove_prefix(store.size());
    if (name.empty())
        return true;
    if (name.size() < 2 || name[0] != '-' || name[1] == '0')
        return false;
    return name.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
}

static_assert(is_store_piece("d/data", "d/data") && is_store_piece("d/data", "d/data-1") &&
              is_store_piece("d/data", "d/data-10"));
static_assert(!is_store_piece("d/data", "d/data.bak") && !is_store_piece("d/data", "d/data-01") &&
              !is_store_piece("d/data", "d/data-") && !is_store_piece("d/data", "d/data-0") &&
              !is_store_piece("d/data", "d/data-1x") && !is_store_piece("d/data", "d/dat"));

}  // namespace qv
