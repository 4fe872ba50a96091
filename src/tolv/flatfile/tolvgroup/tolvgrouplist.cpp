// tolvgrouplist.cpp - the group list "grouplist.file": listings by mode and filters, appending names, counting
// and walking a group list, and the lookups by UUID and registry id.
#include "tolvinternal.h"

namespace tolv {

const IndexedFamily<rspi_group> kGroups{
    format::kGroupFamily, rspi_get_group,
    {
        "UUID? grouplist entry invalid: %s\n",
        "registryGID? grouplist entry invalid: %s\n",
        "groupID? grouplist entry invalid: %s\n",
        "QZ domain = %s  QZ groupid = %s\n",
        "Flatfile registry GID = %s\n",
    },
    text::kNotEnabledGroup, true, false,
};

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_get_grouplist(char **h, rspi_grouplist *l, uint32_t mode, const char *id_filter,
                                      const char *domain_filter, const char *registry_id_filter) {
    return tolv::indexed_list(tolv::kGroups, tolv::text::get_grouplist, h, l, mode, id_filter, domain_filter, registry_id_filter);
}
TOLV_EXPORT uint32_t rspi_grouplist_add_group(char **, rspi_grouplist *l, char **names, int32_t count) {
    return tolv::list_add(l, names, count);
}
TOLV_EXPORT int32_t rspi_grouplist_count(char **h, rspi_grouplist *l) {
    return tolv::count_op(tolv::text::grouplist_count, h, l);
}
TOLV_EXPORT uint32_t rspi_get_group_by_uuid(char **h, rspi_group *r) {
    return tolv::indexed_by_uuid(tolv::kGroups, tolv::text::get_group_by_uuid, h, r);
}
TOLV_EXPORT uint32_t rspi_get_group_by_rgyid(char **h, rspi_group *r) {
    return tolv::indexed_by_rgyid(tolv::kGroups, tolv::text::get_group_by_rgyid, h, r);
}
TOLV_EXPORT uint32_t rspi_first_group(char **h, rspi_grouplist *l, rspi_group *r, int32_t fetch) {
    return tolv::indexed_step(tolv::kGroups, tolv::text::first_group, h, l, r, fetch, tolv::Move::First);
}
TOLV_EXPORT uint32_t rspi_next_group(char **h, rspi_grouplist *l, rspi_group *r, int32_t fetch) {
    return tolv::indexed_step(tolv::kGroups, tolv::text::next_group, h, l, r, fetch, tolv::Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_group(char **h, rspi_grouplist *l, rspi_group *r, int32_t fetch) {
    return tolv::indexed_step(tolv::kGroups, tolv::text::previous_group, h, l, r, fetch, tolv::Move::Previous);
}
