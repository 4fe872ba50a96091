// tolvuserlist.cpp - the user list "userlist.file": listings by mode and filters, appending names, counting and
// walking a user list, the lookups by UUID and registry id, and naming a user's groups file.
#include "tolvinternal.h"

namespace tolv {

namespace {

const IndexedFamily<rspi_user> kUsers{
    kUserList, &rspi_user::domain, &rspi_user::user_id, Rc::InvalidUser, rspi_get_user,
    {
        "UUID? userlist entry invalid: %s\n",
        "registryUID? userlist entry invalid: %s\n",
        "userID? userlist entry invalid: %s\n",
        "QZ domain = %s  QZ userid = %s\n",
        "Flatfile registry UID = %s\n",
    },
    text::kNotEnabledUser, false, true,
};

Rc user_grouplist(rspi_user *user, rspi_grouplist *groups) {
    if (!user || !groups || !lower_given(user->domain, user->user_id)) return Rc::InvalidUser;
    return list_name_lazy(list_ref(groups), my_groups_list(user->domain, user->user_id));
}

}  // namespace

}  // namespace tolv

TOLV_INDEXED_FAMILY_EXPORTS(user, tolv::kUsers, rspi_user, rspi_userlist)

TOLV_EXPORT uint32_t rspi_user_grouplist(char **h, rspi_user *user, rspi_grouplist *groups) {
    return tolv::traced_read_op(tolv::text::user_grouplist, h, user,
                                [&](std::string_view) { return tolv::user_grouplist(user, groups); });
}
