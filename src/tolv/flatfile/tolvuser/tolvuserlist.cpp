// tolvuserlist.cpp - the user list "userlist.file": listings by mode and filters, appending names, counting and
// walking a user list, the lookups by UUID and registry id, and naming a user's groups file.
#include "tolvinternal.h"

namespace tolv {

namespace {

const IndexedFamily<rspi_user> kUsers{
    format::kUserFamily, rspi_get_user,
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

TOLV_EXPORT uint32_t rspi_get_userlist(char **h, rspi_userlist *l, uint32_t mode, const char *id_filter,
                                      const char *domain_filter, const char *registry_id_filter) {
    return tolv::indexed_list(tolv::kUsers, tolv::text::get_userlist, h, l, mode, id_filter, domain_filter, registry_id_filter);
}
TOLV_EXPORT uint32_t rspi_userlist_add_user(char **, rspi_userlist *l, char **names, int32_t count) {
    return tolv::list_add(l, names, count);
}
TOLV_EXPORT int32_t rspi_userlist_count(char **h, rspi_userlist *l) {
    return tolv::count_op(tolv::text::userlist_count, h, l);
}
TOLV_EXPORT uint32_t rspi_get_user_by_uuid(char **h, rspi_user *r) {
    return tolv::indexed_by_uuid(tolv::kUsers, tolv::text::get_user_by_uuid, h, r);
}
TOLV_EXPORT uint32_t rspi_get_user_by_rgyid(char **h, rspi_user *r) {
    return tolv::indexed_by_rgyid(tolv::kUsers, tolv::text::get_user_by_rgyid, h, r);
}
TOLV_EXPORT uint32_t rspi_first_user(char **h, rspi_userlist *l, rspi_user *r, int32_t fetch) {
    return tolv::indexed_step(tolv::kUsers, tolv::text::first_user, h, l, r, fetch, tolv::Move::First);
}
TOLV_EXPORT uint32_t rspi_next_user(char **h, rspi_userlist *l, rspi_user *r, int32_t fetch) {
    return tolv::indexed_step(tolv::kUsers, tolv::text::next_user, h, l, r, fetch, tolv::Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_user(char **h, rspi_userlist *l, rspi_user *r, int32_t fetch) {
    return tolv::indexed_step(tolv::kUsers, tolv::text::previous_user, h, l, r, fetch, tolv::Move::Previous);
}

TOLV_EXPORT uint32_t rspi_user_grouplist(char **h, rspi_user *user, rspi_grouplist *groups) {
    return tolv::traced_read_op(tolv::text::user_grouplist, h, user,
                                [&](std::string_view) { return tolv::user_grouplist(user, groups); });
}
