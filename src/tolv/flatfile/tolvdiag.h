// tolvdiag.h - every entry and exit text of the operations, in one place.
// Several differ from the operation's own name; keep them exactly as they are.
#pragma once

namespace tolv::text {

struct OpText {
    const char *entry;
    const char *exit;  // null: the operation writes no exit line
};

#define TOLV_OP(id, name, args) inline constexpr OpText id{name " invoked" args "\n", name " rc = %u\n"};
#define TOLV_OP_NOEXIT(id, name) inline constexpr OpText id{name " invoked\n", nullptr};

// Users.
TOLV_OP(create_user, "rspi_create_user", ": %s %s")
TOLV_OP(get_user, "rspi_get_user", ": %s %s")
TOLV_OP(modify_user, "rspi_modify_user", ": %s %s")
TOLV_OP(delete_user, "rspi_delete_user", ": %s %s")
TOLV_OP(disable_user, "rspi_disable_user", ": %s %s")
TOLV_OP(enable_user, "rspi_enable_user", ": %s %s")
TOLV_OP(authenticate_user, "rspi_authenticate_user", ": %s %s")
TOLV_OP(change_authndata, "rspi_change_authndata", ": %s %s")
TOLV_OP(get_user_by_uuid, "rspi_get_user_by_uuid", ": %s")
TOLV_OP(get_user_by_certdn, "rspi_get_user_by_certdn", ": %s")
TOLV_OP(get_user_by_rgyid, "rspi_get_user_by_rgyid", ": %s")
TOLV_OP(get_userlist, "rspi_get_userlist", "")
TOLV_OP_NOEXIT(userlist_count, "rspi_userlist_count")
TOLV_OP(first_user, "rspi_first_user", "")
TOLV_OP(next_user, "rspi_next_user", "")
TOLV_OP(previous_user, "rspi_previous_user", "")
TOLV_OP(user_grouplist, "rspi_user_grouplist", ": %s %s")

// Groups.
TOLV_OP(create_group, "rspi_create_group", ": %s %s")
TOLV_OP(get_group, "rspi_get_group", ": %s %s")
TOLV_OP(modify_group, "rspi_modify_group", ": %s %s")
TOLV_OP(delete_group, "rspi_delete_group", ": %s %s")
TOLV_OP(disable_group, "rspi_disable_group", ": %s %s")
TOLV_OP(enable_group, "rspi_enable_group", ": %s %s")
TOLV_OP(add_group_member, "rspi_add_group_member", ": %s %s")
TOLV_OP(remove_group_member, "rspi_remove_group_member", ": %s %s")
TOLV_OP(get_group_by_uuid, "rspi_get_group_by_uuid", ": %s")
TOLV_OP(get_group_by_rgyid, "rspi_get_group_by_rgyid", ": %s")
TOLV_OP(group_userlist, "rspi_group_userlist", ": %s %s")
TOLV_OP(get_grouplist, "rspi_get_grouplist", "")
TOLV_OP_NOEXIT(grouplist_count, "rspi_grouplist_count")
TOLV_OP(first_group, "rspi_first_group", "")
TOLV_OP(next_group, "rspi_next_group", "")
TOLV_OP(previous_group, "rspi_previous_group", "")

// A family named by its keys traces under its operations' own names.
#define TOLV_KEYED_OPS(name)                                                                                \
    TOLV_OP(create_##name, "rspi_create_" #name, "")                                                       \
    TOLV_OP(get_##name, "rspi_get_" #name, "")                                                             \
    TOLV_OP(modify_##name, "rspi_modify_" #name, "")                                                       \
    TOLV_OP(delete_##name, "rspi_delete_" #name, "")                                                       \
    inline constexpr OpText get_##name##list{"rspi_get_" #name "list invoked\n", "rspi_get_" #name "list rc = 0\n"}; \
    TOLV_OP_NOEXIT(name##list_count, "rspi_" #name "list_count")                                           \
    TOLV_OP(first_##name, "rspi_first_" #name, "")                                                         \
    TOLV_OP(next_##name, "rspi_next_" #name, "")                                                           \
    TOLV_OP(previous_##name, "rspi_previous_" #name, "")

TOLV_KEYED_OPS(policy)
TOLV_KEYED_OPS(resource)
TOLV_KEYED_OPS(resgroup)
TOLV_OP(add_resgroup_member, "rspi_add_resgroup_member", "")
TOLV_OP(remove_resgroup_member, "rspi_remove_resgroup_member", "")

// Resource credentials; the cursor operations trace under the list's name.
TOLV_OP(create_rescreds, "rspi_create_rescreds", "")
TOLV_OP(get_rescreds, "rspi_get_rescreds", "")
TOLV_OP(modify_rescreds, "rspi_modify_rescreds", "")
TOLV_OP(delete_rescreds, "rspi_delete_rescreds", "")
TOLV_OP(get_rescredslist, "rspi_get_rescredslist", "")
TOLV_OP_NOEXIT(rescredslist_count, "rspi_rescredslist_count")
TOLV_OP(first_rescreds, "rspi_first_rescredslist", "")
TOLV_OP(next_rescreds, "rspi_next_rescredslist", "")
TOLV_OP(previous_rescreds, "rspi_previous_rescredslist", "")

#undef TOLV_KEYED_OPS
#undef TOLV_OP
#undef TOLV_OP_NOEXIT

// Other fixed texts.
inline constexpr const char *kNotEnabledUser = "Not a Quorzel enabled user.";
inline constexpr const char *kNotEnabledGroup = "Not a Quorzel enabled group.";
inline constexpr const char *kInvalidListdata = "Invalid listdata: %s\n";

}  // namespace tolv::text
