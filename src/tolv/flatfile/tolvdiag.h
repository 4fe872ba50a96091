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

// A family kept in the user or group list.
#define TOLV_LISTED_OPS(name)                                             \
    TOLV_OP(create_##name, "rspi_create_" #name, ": %s %s")               \
    TOLV_OP(get_##name, "rspi_get_" #name, ": %s %s")                     \
    TOLV_OP(modify_##name, "rspi_modify_" #name, ": %s %s")               \
    TOLV_OP(delete_##name, "rspi_delete_" #name, ": %s %s")               \
    TOLV_OP(disable_##name, "rspi_disable_" #name, ": %s %s")             \
    TOLV_OP(enable_##name, "rspi_enable_" #name, ": %s %s")               \
    TOLV_OP(get_##name##_by_uuid, "rspi_get_" #name "_by_uuid", ": %s")   \
    TOLV_OP(get_##name##_by_rgyid, "rspi_get_" #name "_by_rgyid", ": %s") \
    TOLV_OP(get_##name##list, "rspi_get_" #name "list", "")               \
    TOLV_OP_NOEXIT(name##list_count, "rspi_" #name "list_count")          \
    TOLV_OP(first_##name, "rspi_first_" #name, "")                        \
    TOLV_OP(next_##name, "rspi_next_" #name, "")                          \
    TOLV_OP(previous_##name, "rspi_previous_" #name, "")

TOLV_LISTED_OPS(user)
TOLV_OP(authenticate_user, "rspi_authenticate_user", ": %s %s")
TOLV_OP(change_authndata, "rspi_change_authndata", ": %s %s")
TOLV_OP(get_user_by_certdn, "rspi_get_user_by_certdn", ": %s")
TOLV_OP(user_grouplist, "rspi_user_grouplist", ": %s %s")

TOLV_LISTED_OPS(group)
TOLV_OP(add_group_member, "rspi_add_group_member", ": %s %s")
TOLV_OP(remove_group_member, "rspi_remove_group_member", ": %s %s")
TOLV_OP(group_userlist, "rspi_group_userlist", ": %s %s")

// A family named by its keys traces under its operations' own names.
#define TOLV_KEYED_OPS(name)                                                                                         \
    TOLV_OP(create_##name, "rspi_create_" #name, "")                                                                 \
    TOLV_OP(get_##name, "rspi_get_" #name, "")                                                                       \
    TOLV_OP(modify_##name, "rspi_modify_" #name, "")                                                                 \
    TOLV_OP(delete_##name, "rspi_delete_" #name, "")                                                                 \
    inline constexpr OpText get_##name##list{"rspi_get_" #name "list invoked\n", "rspi_get_" #name "list rc = 0\n"}; \
    TOLV_OP_NOEXIT(name##list_count, "rspi_" #name "list_count")                                                     \
    TOLV_OP(first_##name, "rspi_first_" #name, "")                                                                   \
    TOLV_OP(next_##name, "rspi_next_" #name, "")                                                                     \
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
#undef TOLV_LISTED_OPS
#undef TOLV_OP
#undef TOLV_OP_NOEXIT

// Other fixed texts.
inline constexpr const char *kNotEnabledUser = "Not a Quorzel enabled user.";
inline constexpr const char *kNotEnabledGroup = "Not a Quorzel enabled group.";
inline constexpr const char *kInvalidListdata = "Invalid listdata: %s\n";

}  // namespace tolv::text
