// tolvcatalogue.h - the six record families, each described once: its names,
// its fields (tolvfields.h), its record file, list and companions, its keys
// and its return codes. The plug-in's family tables, librspiutil's releases,
// tolvadm's commands, the benchmark generator and the test runner all take a
// family from here. Header-only and not installed.
//
// A new field of an existing family:
//   1. its member in the public record (rspi.h), and
//   2. its line in the family's field table (tolvfields.h), at its line of the
//      record file.
// Its storage, merge, release, tolvadm option and JSON member, the test
// runner's FIELD=VALUE and the generated benchmark records follow from those.
//
// A new family: its record, list record and rspi_ operations (rspi.h), its
// alloc/free pair (librspiutil, tolv.h), its field table (tolvfields.h), its
// file and list names (tolvformat.h), its descriptor below and its place in
// kFamilies; then a KeyedFamily in the plug-in (tolvpolicy.cpp is the model),
// a Records<> line and a cmd_<family>.cpp in tolvadm, and a TypeInfo in the
// test runner (tests/support/corpus.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>

#include "rspi.h"
#include "tolvfields.h"
#include "tolvformat.h"

namespace tolv::format {

template <class R>
struct Family {
    using Record = R;
    const char *name;    // "user": tolvadm's command, the test runner's record type
    const char *plural;  // "users"
    const char *stem;    // the operations: rspi_create_<stem>, rspi_get_<stem>list, rspi_next_<stem>
    std::span<const Field<R>> fields;
    RecordFile file;
    std::string_view list;  // the family's list; empty: a list per owning user (credentials)
    char *R::*domain;       // null when one name is the key
    char *R::*id;
    std::uint32_t invalid;  // bad names or no such entry
    std::uint32_t exists;
    // Entry lists named after the record (e.g. "corp_ann.myGroups"); empty when unused.
    std::string_view lists[2] = {};
    // The list of the owning user that holds the entry's line (".myResCreds").
    std::string_view owner_list = {};
    // A disabled entry's record file suffix; empty: the family cannot be disabled.
    std::string_view disabled = {};
};

inline constexpr Family<rspi_user> kUserFamily{
    .name = "user", .plural = "users", .stem = "user",
    .fields = kUserFields, .file = kUserFile, .list = kUserList,
    .domain = &rspi_user::domain, .id = &rspi_user::user_id,
    .invalid = RSPI_RC_INVALID_USER, .exists = RSPI_RC_USER_EXISTS,
    .lists = {kMyGroupsSuffix, kMyResCredsSuffix},
    .disabled = kDisabledUserSuffix,
};
inline constexpr Family<rspi_group> kGroupFamily{
    .name = "group", .plural = "groups", .stem = "group",
    .fields = kGroupFields, .file = kGroupFile, .list = kGroupList,
    .domain = &rspi_group::domain, .id = &rspi_group::group_id,
    .invalid = RSPI_RC_INVALID_GROUP, .exists = RSPI_RC_GROUP_EXISTS,
    .lists = {kMembersSuffix},
    .disabled = kDisabledGroupSuffix,
};
inline constexpr Family<rspi_policy> kPolicyFamily{
    .name = "policy", .plural = "policies", .stem = "policy",
    .fields = kPolicyFields, .file = kPolicyFile, .list = kPolicyList,
    .domain = &rspi_policy::domain, .id = &rspi_policy::policy_id,
    .invalid = RSPI_RC_INVALID_POLICY, .exists = RSPI_RC_POLICY_EXISTS,
};
inline constexpr Family<rspi_resource> kResourceFamily{
    .name = "resource", .plural = "resources", .stem = "resource",
    .fields = kResourceFields, .file = kResourceFile, .list = kResourceList,
    .domain = nullptr, .id = &rspi_resource::name,
    .invalid = RSPI_RC_INVALID_RESOURCE, .exists = RSPI_RC_RESOURCE_EXISTS,
};
inline constexpr Family<rspi_resgroup> kResgroupFamily{
    .name = "resgroup", .plural = "resource groups", .stem = "resgroup",
    .fields = kResgroupFields, .file = kResgroupFile, .list = kResgroupList,
    .domain = nullptr, .id = &rspi_resgroup::name,
    .invalid = RSPI_RC_INVALID_RESGROUP, .exists = RSPI_RC_RESGROUP_EXISTS,
    .lists = {kRgMembersSuffix},
};
inline constexpr Family<rspi_rescreds> kRescredsFamily{
    .name = "creds", .plural = "credentials", .stem = "rescreds",
    .fields = kRescredsFields, .file = kRescredsFile, .list = {},
    .domain = nullptr, .id = &rspi_rescreds::name,
    .invalid = RSPI_RC_INVALID_RESCREDS, .exists = RSPI_RC_RESCREDS_EXISTS,
    .owner_list = kMyResCredsSuffix,
};

// All six, for a loop over the families: for_each_family([](const auto &f) { ... }).
inline constexpr std::tuple<const Family<rspi_user> &, const Family<rspi_group> &, const Family<rspi_policy> &,
                            const Family<rspi_resource> &, const Family<rspi_resgroup> &,
                            const Family<rspi_rescreds> &>
    kFamilies{kUserFamily, kGroupFamily, kPolicyFamily, kResourceFamily, kResgroupFamily, kRescredsFamily};
template <class F>
constexpr void for_each_family(F &&f) {
    std::apply([&](const auto &...family) { (f(family), ...); }, kFamilies);
}

// A family by its record type.
template <class R>
constexpr const Family<R> &family_of() {
    return std::get<const Family<R> &>(kFamilies);
}

}  // namespace tolv::format
