// tolvgrouplist.cpp - group enumeration: listing "grouplist.file" by mode and
// filters, appending names, counting and walking a group list.
#include "tolvinternal.h"

namespace tolv {

namespace {

const IndexedFamily<rspi_group> kGroups{
    kGroupList, &rspi_group::domain, &rspi_group::group_id, Rc::InvalidGroup, rspi_get_group,
    {
        "UUID? grouplist entry invalid: %s\n",
        "registryGID? grouplist entry invalid: %s\n",
        "groupID? grouplist entry invalid: %s\n",
        "QZ domain = %s  QZ groupid = %s\n",
        "Flatfile registry GID = %s\n",
    },
    text::get_grouplist, text::grouplist_count, text::first_group, text::next_group, text::previous_group,
};

}  // namespace

}  // namespace tolv

using tolv::kGroups;
using tolv::Move;
using G = rspi_group;
using GL = rspi_grouplist;

TOLV_EXPORT uint32_t rspi_get_grouplist(char **h, GL *list, uint32_t mode, const char *id_filter,
                                        const char *domain_filter, const char *registry_id_filter) {
    return indexed_list(kGroups, h, list, {mode, id_filter, domain_filter, registry_id_filter});
}
TOLV_EXPORT uint32_t rspi_grouplist_add_group(char **, GL *list, char **names, int32_t count) {
    // The handle is not needed: nothing is read or written.
    return tolv::guarded([&] { return list ? list_add_names(tolv::list_ref(list), names, count) : tolv::Rc::InvalidGroup; });
}
TOLV_EXPORT int32_t rspi_grouplist_count(char **h, GL *list) { return indexed_count(kGroups, h, list); }
TOLV_EXPORT uint32_t rspi_first_group(char **h, GL *list, G *g, int32_t fetch) {
    return indexed_step(kGroups, h, list, g, fetch, Move::First);
}
TOLV_EXPORT uint32_t rspi_next_group(char **h, GL *list, G *g, int32_t fetch) {
    return indexed_step(kGroups, h, list, g, fetch, Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_group(char **h, GL *list, G *g, int32_t fetch) {
    return indexed_step(kGroups, h, list, g, fetch, Move::Previous);
}
