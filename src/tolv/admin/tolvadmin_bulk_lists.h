// tolvadmin_bulk_lists.h - the lists of a bulk add, each rewritten once into what adding its entries one by one
// would have left: the sorted entry lists, and the user and group lists with their own insertion rule.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tolvinternal.h"

namespace tolv::admin::bulk {

// Adds entries (any order, repeats allowed) to the entry list list_name as ui_add_to_entrylist would one at a
// time, then drops the lines that begin with one of purge ("domain id " prefixes, as ui_purge_from_entrylist
// once per prefix). Nothing
// is rewritten when there is nothing to add or purge. 0, or 6/3.
Rc add_to_entrylist(std::string_view dir, std::string_view list_name, std::vector<std::string> entries,
                    const std::vector<std::string> &purge = {});

// One line of the user or group list to add ("domain id", its UUID and registry id), in order; disabled ones
// then have their line replaced by the disabled form, as a disable does.
struct IndexAdd {
    std::string key, uuid, registry_id;
    bool enabled = true;
};
// Adds every line to index_name as index_add would one at a time (identities already checked), then replaces
// the lines of the disabled ones as index_replace_named would. 0, or 6/3.
Rc add_to_index(std::string_view dir, std::string_view index_name, const std::vector<IndexAdd> &adds);

// The lines of a user or group list as the identity check reads them.
std::vector<IndexLine> index_lines(std::string_view data);

}  // namespace tolv::admin::bulk
