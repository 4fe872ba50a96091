// tolvgrouplist.cpp - the group list "grouplist.file": listings by mode and filters, appending names, counting
// and walking a group list, and the lookups by UUID and registry id.
#include "tolvinternal.h"

namespace tolv {

const IndexedFamily<rspi_group> kGroups{
    kGroupList, &rspi_group::domain, &rspi_group::group_id, Rc::InvalidGroup, rspi_get_group,
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

TOLV_INDEXED_FAMILY_EXPORTS(group, tolv::kGroups, rspi_group, rspi_grouplist)
