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

// Policies.
TOLV_OP(create_policy, "rspi_create_policy", "")
TOLV_OP(get_policy, "rspi_get_policy", "")
TOLV_OP(modify_policy, "rspi_modify_policy", "")
TOLV_OP(delete_policy, "rspi_delete_policy", "")
inline constexpr OpText get_policylist{"rspi_get_policylist invoked\n", "rspi_get_policylist rc = 0\n"};
TOLV_OP_NOEXIT(policylist_count, "rspi_policylist_count")
TOLV_OP(first_policy, "rspi_first_policy", "")
TOLV_OP(next_policy, "rspi_next_policy", "")
TOLV_OP(previous_policy, "rspi_previous_policy", "")

// Resources.
TOLV_OP(create_resource, "rspi_create_resource", "")
TOLV_OP(get_resource, "rspi_get_resource", "")
TOLV_OP(modify_resource, "rspi_modify_resource", "")
TOLV_OP(delete_resource, "rspi_delete_resource", "")
inline constexpr OpText get_resourcelist{"rspi_get_resourcelist invoked\n", "rspi_get_resourcelist rc = 0\n"};
TOLV_OP_NOEXIT(resourcelist_count, "rspi_resourcelist_count")
TOLV_OP(first_resource, "rspi_first_resource", "")
TOLV_OP(next_resource, "rspi_next_resource", "")
TOLV_OP(previous_resource, "rspi_previous_resource", "")

// Resource groups.
TOLV_OP(create_resgroup, "rspi_create_resgroup", "")
TOLV_OP(get_resgroup, "rspi_get_resgroup", "")
TOLV_OP(modify_resgroup, "rspi_modify_resgroup", "")
TOLV_OP(delete_resgroup, "rspi_delete_resgroup", "")
TOLV_OP(add_resgroup_member, "rspi_add_resgroup_member", "")
TOLV_OP(remove_resgroup_member, "rspi_remove_resgroup_member", "")
inline constexpr OpText get_resgrouplist{"rspi_get_resgrouplist invoked\n", "rspi_get_resgrouplist rc = 0\n"};
TOLV_OP_NOEXIT(resgrouplist_count, "rspi_resgrouplist_count")
TOLV_OP(first_resgroup, "rspi_first_resgroup", "")
TOLV_OP(next_resgroup, "rspi_next_resgroup", "")
TOLV_OP(previous_resgroup, "rspi_previous_resgroup", "")

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

#undef TOLV_OP
#undef TOLV_OP_NOEXIT

// Other fixed texts.
inline constexpr const char *kNotEnabledUser = "Not a Quorzel enabled user.";
inline constexpr const char *kNotEnabledGroup = "Not a Quorzel enabled group.";
inline constexpr const char *kInvalidListdata = "Invalid listdata: %s\n";
inline constexpr const char *kNoMemory = "Memory allocation failed\n";

}  // namespace tolv::text
