// tolvgroup.cpp - groups: the group file, its blob and its line in the group list; create, read, modify,
// disable, enable, delete, membership, and a group's members.
#include <cstring>

#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr std::span<const Field<rspi_group>> kFields = format::kGroupFamily.fields;

std::string path_of(std::string_view dir, const rspi_group *g) { return group_file(dir, g->domain, g->group_id); }

// The common test: names given (lower-cased) and the group file opens.
Rc group_exists(std::string_view dir, rspi_group *g) {
    if (!g || !lower_given(g->domain, g->group_id)) return Rc::InvalidGroup;
    return io::present(io::probe(path_of(dir, g)), Rc::InvalidGroup);
}

// A UUID still to be made: the length of the text the UUID service makes.
constexpr std::size_t kUuidTextLen = 36;

std::string_view view(const char *s) { return s ? std::string_view(s) : std::string_view(); }

std::string entry_of(const rspi_group *g) { return member_entry(view(g->domain), view(g->group_id)); }

// The lower-cased names fit the group file (with "_blob_T"), the members file (with "_T") and a membership
// line, and hold no line break.
bool names_fit(const rspi_group *g) {
    const std::string name = entry_of(g);
    return one_line(name) &&
           component_fits(group_file({}, g->domain, g->group_id).size(), kBlobSuffix.size() + kTempSuffix.size()) &&
           component_fits(name.size() + format::kMembersSuffix.size(), kTempSuffix.size()) && entry_fits(name.size());
}

// 0 when the record can be stored as it is: names that fit, a group-list line within its piece, a registry id
// that can name the disabled group file, texts without a line break and a UUID text without a double blank.
// uuid_len is the length of the UUID text the line will hold. Else 31.
Rc check_storable(const rspi_group *g, std::size_t uuid_len) {
    if (!g || !g->group_id || !g->domain || !names_fit(g)) return Rc::InvalidGroup;
    const std::size_t line = entry_of(g).size() + 2 * kIndexSep.size() + uuid_len + view(g->registry_id).size();
    if (!entry_fits(line) || !component_fits(disabled_group_file({}, view(g->registry_id)).size(), 0) ||
        !storable_record(g, kFields) || !storable_uuid(view(g->uuid_string)))
        return Rc::InvalidGroup;
    return Rc::Success;
}

// 41 when another group's list line holds the record's registry id or UUID (own_disabled: see
// ui_check_identity).
Rc check_identity(std::string_view dir, const rspi_group *g, const char *uuid, const char *own_disabled) {
    return ui_check_identity(dir, kGroupList, entry_of(g), view(uuid), view(g->registry_id), own_disabled,
                             Rc::GroupExists);
}

// Writes the group file (and blob), then its line in the group list. 31, nothing written, for a record
// check_storable refuses; 41 as check_identity. With create_uuid a missing UUID is made first (6, nothing
// written, when it cannot be). State 2 becomes 1 in the record.
Rc ui_replace_group(std::string_view dir, rspi_group *g, bool create_uuid, const char *own_disabled = nullptr) {
    const bool make_uuid = create_uuid && !g->uuid_string;
    if (const Rc rc = check_storable(g, make_uuid ? kUuidTextLen : view(g->uuid_string).size()); !ok(rc)) return rc;
    if (const Rc rc = check_identity(dir, g, make_uuid ? nullptr : g->uuid_string, own_disabled); !ok(rc)) return rc;
    if (make_uuid) {
        ui_uuid_create(g->uuid, g->uuid_string);
        if (!g->uuid_string) return Rc::FileError;
    }
    const std::string path = path_of(dir, g);
    if (!io::write_file(path, encode_record(g, kFields))) return Rc::FileError;
    if (g->blob) {
        // The group file stays as written; the list is left alone.
        if (const Rc rc = ui_write_blob(blob_file(path), g->blob); !ok(rc)) return rc;
    }
    return index_add(dir, kGroupList, entry_of(g), view(g->uuid_string), view(g->registry_id));
}

Rc from_code(uint32_t rc) { return static_cast<Rc>(rc); }

Rc create_group(char **, std::string_view dir, rspi_group *g) {
    if (!g || !usable_name(g->group_id) || !usable_name(g->domain)) return Rc::InvalidGroup;
    lower_given(g->domain, g->group_id);
    // The group list needs a registry id to tell the group's lines apart.
    if (!g->registry_id || !*g->registry_id) return Rc::InvalidGroup;
    if (const Rc rc = io::absent(io::probe(path_of(dir, g)), Rc::GroupExists); !ok(rc)) return rc;
    return ui_replace_group(dir, g, true);
}

Rc get_group(char **, std::string_view dir, rspi_group *g) {
    if (!g || !lower_given(g->domain, g->group_id)) return Rc::InvalidGroup;
    bool found = false;
    const Rc rc = read_record(path_of(dir, g), Rc::InvalidGroup, g, kFields, {.keys = KeyRead::NonEmpty}, &found);
    if (!found) return rc;
    rspi_free_userlist(g->members);
    g->members = rspi_alloc_userlist();
    if (!g->members) return Rc::NoMemory;
    if (const Rc named = list_name_lazy(list_ref(g->members), group_members_list(g->domain, g->group_id)); !ok(named))
        return named;
    return rc;
}

Rc modify_group(char **handle, std::string_view dir, rspi_group *changes) {
    if (!changes) return Rc::InvalidGroup;
    TempGroup tmp(changes);
    if (!tmp) return Rc::NoMemory;
    if (const uint32_t got = rspi_get_group(handle, tmp.get()); got != RSPI_RC_SUCCESS) return from_code(got);
    merge_record(tmp, changes, kFields);
    return ui_replace_group(dir, tmp.get(), false);
}

Rc disable_group(char **handle, std::string_view dir, rspi_group *g) {
    if (!g || !g->group_id || !g->domain) return Rc::InvalidGroup;
    io::revocation();
    TempGroup tmp(g);
    if (!tmp) return Rc::NoMemory;
    if (const uint32_t got = rspi_get_group(handle, tmp.get()); got != RSPI_RC_SUCCESS) return from_code(got);
    const std::string_view registry_id = view(tmp->registry_id);
    if (!component_fits(disabled_group_file({}, registry_id).size(), 0)) return Rc::InvalidGroup;
    const std::string disabled = disabled_group_file(dir, registry_id);
    // Another disabled group under the same registry id keeps its file.
    if (const Rc rc = io::absent(io::probe(disabled), Rc::GroupExists); !ok(rc)) return rc;
    if (!io::rename_file(path_of(dir, g), disabled)) return Rc::FileError;
    return index_replace_named(dir, kGroupList, entry_of(tmp.get()),
                               index_line(kIndexDisabled, view(tmp->uuid_string), registry_id));
}

Rc enable_group(char **handle, std::string_view dir, rspi_group *g) {
    if (!g || !lower_given(g->domain, g->group_id)) return Rc::InvalidGroup;
    if (!g->registry_id) return Rc::GroupNotDisabled;
    const std::string disabled = disabled_group_file(dir, g->registry_id);
    const std::string path = path_of(dir, g);
    // Not disabled: nothing else is looked at.
    if (const Rc rc = io::present(io::probe(disabled), Rc::GroupNotDisabled); !ok(rc)) return rc;
    // Never replace the file of a group created under these names meanwhile.
    if (const Rc rc = io::absent(io::probe(path), Rc::GroupExists); !ok(rc)) return rc;
    // Refused before the file moves: the writes after it would refuse the same.
    if (!ok(check_storable(g, g->uuid_string ? std::strlen(g->uuid_string) : kUuidTextLen))) return Rc::InvalidGroup;
    if (const Rc rc = check_identity(dir, g, g->uuid_string, g->registry_id); !ok(rc)) return rc;
    TempGroup tmp(g);
    if (!tmp) return Rc::NoMemory;
    if (!io::rename_file(disabled, path)) return Rc::GroupNotDisabled;
    rspi_group *const work = tmp.get();
    if (const uint32_t got = rspi_get_group(handle, work); got != RSPI_RC_SUCCESS) return from_code(got);
    // The caller's UUID text (lent; null asks for a new UUID) replaces the stored one.
    char *const stored_uuid = work->uuid_string;
    work->uuid_string = g->uuid_string;
    const Rc rc = ui_replace_group(dir, work, true, g->registry_id);
    if (work->uuid_string != g->uuid_string) rspi_free(work->uuid_string);
    work->uuid_string = stored_uuid;
    if (!ok(rc)) return rc;
    return from_code(rspi_modify_group(handle, g));
}

Rc delete_group(char **handle, std::string_view dir, rspi_group *g) {
    if (!g) return Rc::InvalidGroup;
    io::revocation();
    if (const uint32_t got = rspi_get_group(handle, g); got != RSPI_RC_SUCCESS) return from_code(got);
    Owned<rspi_user> user(rspi_alloc_user(), rspi_free_user);
    if (!user) return Rc::NoMemory;
    if (const Rc rc = walk_list(handle, g->members, user.get(), rspi_next_user,
                                [&](rspi_user *u) { return rspi_remove_group_member(handle, g, u); });
        !ok(rc))
        return rc;
    return io::remove_record_and_blob(path_of(dir, g), Rc::FileError,
                                      [&] { return index_replace_named(dir, kGroupList, entry_of(g), {}); });
}

Rc add_group_member(std::string_view dir, rspi_group *g, rspi_user *user) {
    if (const Rc rc = group_exists(dir, g); !ok(rc)) return rc;
    if (const Rc rc = ui_validate_user(dir, user); !ok(rc)) return rc;
    if (!names_fit(g)) return Rc::InvalidGroup;
    const std::string user_entry = member_entry(user->domain, user->user_id);
    const std::string user_groups = my_groups_list(user->domain, user->user_id);
    if (!entry_fits(user_entry.size()) || !one_line(user_entry) ||
        !component_fits(user_groups.size(), kTempSuffix.size()))
        return Rc::InvalidUser;
    // The members file goes first; a file that cannot be rewritten ends the call there, anything else is
    // decided by the user's groups file.
    if (const Rc rc = ui_add_to_entrylist(dir, group_members_list(g->domain, g->group_id), user_entry);
        rc == Rc::FileError || rc == Rc::NoMemory)
        return rc;
    return ui_add_to_entrylist(dir, user_groups, member_entry(g->domain, g->group_id));
}

Rc remove_group_member(std::string_view dir, rspi_group *g, rspi_user *user) {
    if (const Rc rc = group_exists(dir, g); !ok(rc)) return rc;
    // The user file is not consulted: a member whose user is gone still goes.
    if (!user || !lower_given(user->domain, user->user_id)) return Rc::InvalidUser;
    // A member the group no longer lists still leaves the user's groups file.
    if (const Rc rc = ui_remove_from_entrylist(dir, group_members_list(g->domain, g->group_id),
                                               member_entry(user->domain, user->user_id));
        rc == Rc::FileError || rc == Rc::NoMemory)
        return rc;
    return ui_remove_from_entrylist(dir, my_groups_list(user->domain, user->user_id),
                                    member_entry(g->domain, g->group_id));
}

Rc group_userlist(std::string_view dir, rspi_group *g, rspi_userlist *list) {
    if (!g || !list || !lower_given(g->domain, g->group_id)) return Rc::InvalidGroup;
    const ListRef l = list_ref(list);
    if (!ok(set_str(l.file, group_members_list(g->domain, g->group_id)))) return Rc::NoMemory;
    return ui_get_entrylist(dir, l);
}

}  // namespace

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_group(char **h, rspi_group *r) {
    return tolv::record_create(tolv::text::create_group, h, r, tolv::kFields, tolv::create_group);
}
TOLV_EXPORT uint32_t rspi_get_group(char **h, rspi_group *r) {
    return tolv::record_read(tolv::text::get_group, h, r, tolv::get_group);
}
TOLV_EXPORT uint32_t rspi_modify_group(char **h, rspi_group *r) {
    return tolv::record_write(tolv::text::modify_group, h, r, tolv::modify_group);
}
TOLV_EXPORT uint32_t rspi_delete_group(char **h, rspi_group *r) {
    return tolv::record_write(tolv::text::delete_group, h, r, tolv::delete_group);
}
TOLV_EXPORT uint32_t rspi_disable_group(char **h, rspi_group *r) {
    return tolv::record_write(tolv::text::disable_group, h, r, tolv::disable_group);
}
TOLV_EXPORT uint32_t rspi_enable_group(char **h, rspi_group *r) {
    return tolv::record_write(tolv::text::enable_group, h, r, tolv::enable_group);
}

TOLV_EXPORT uint32_t rspi_add_group_member(char **handle, rspi_group *group, rspi_user *user) {
    return tolv::traced_write_op(tolv::text::add_group_member, handle, group,
                                 [&](std::string_view dir) { return tolv::add_group_member(dir, group, user); });
}
TOLV_EXPORT uint32_t rspi_remove_group_member(char **handle, rspi_group *group, rspi_user *user) {
    return tolv::traced_write_op(tolv::text::remove_group_member, handle, group,
                                 [&](std::string_view dir) { return tolv::remove_group_member(dir, group, user); });
}
TOLV_EXPORT uint32_t rspi_group_userlist(char **handle, rspi_group *group, rspi_userlist *members) {
    return tolv::guarded_op(handle, [&](std::string_view dir) {
        // The entry line only when both names are there to print.
        if (group && group->group_id && group->domain)
            TOLV_TRACE(tolv::text::group_userlist.entry, group->domain, group->group_id);
        const tolv::Rc rc = tolv::group_userlist(dir, group, members);
        TOLV_TRACE(tolv::text::group_userlist.exit, tolv::code(rc));
        return rc;
    });
}
