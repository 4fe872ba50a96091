// tolvinternal_group.cpp - storage of groups: the group file, its blob and the
// group list "grouplist.file".
#include <cstring>

#include "tolvinternal.h"

namespace tolv {

namespace {

using format::kMembersSuffix;

std::size_t len(const char *s) { return s ? std::strlen(s) : 0; }
std::string_view view(const char *s) { return s ? std::string_view(s) : std::string_view(); }

}  // namespace

bool group_names_fit(std::string_view domain, std::string_view group_id) {
    const std::size_t name = domain.size() + 1 + group_id.size();
    return one_line(domain) && one_line(group_id) &&
           component_fits(group_file({}, domain, group_id).size(), kBlobSuffix.size() + kTempSuffix.size()) &&
           component_fits(name + kMembersSuffix.size(), kTempSuffix.size()) && entry_fits(name);
}

Rc ui_check_group(const rspi_group *g, std::size_t uuid_len) {
    if (!g || !g->group_id || !g->domain) return Rc::InvalidGroup;
    if (!group_names_fit(g->domain, g->group_id)) return Rc::InvalidGroup;
    const std::size_t line = len(g->domain) + 1 + len(g->group_id) + 2 * kIndexSep.size() + uuid_len +
                             len(g->registry_id);
    if (!entry_fits(line)) return Rc::InvalidGroup;
    if (!component_fits(disabled_group_file({}, view(g->registry_id)).size(), 0)) return Rc::InvalidGroup;
    if (!storable_record(g, std::span<const Field<rspi_group>>(format::kGroupFields))) return Rc::InvalidGroup;
    // A double blank inside the UUID would move the list line's registry field.
    if (!storable_uuid(view(g->uuid_string))) return Rc::InvalidGroup;
    return Rc::Success;
}

Rc ui_check_group_identity(std::string_view dir, const rspi_group *g, const char *uuid, const char *own_disabled) {
    return ui_check_identity(dir, kGroupList, member_entry(view(g->domain), view(g->group_id)), view(uuid),
                             view(g->registry_id), own_disabled, Rc::GroupExists);
}

Rc ui_replace_group(std::string_view dir, rspi_group *g, bool create_uuid, const char *own_disabled) {
    if (!g || !g->group_id || !g->domain) return Rc::InvalidGroup;
    const bool make_uuid = create_uuid && !g->uuid_string;
    if (const Rc rc = ui_check_group(g, make_uuid ? kUuidTextLen : len(g->uuid_string)); !ok(rc)) return rc;
    if (const Rc rc = ui_check_group_identity(dir, g, make_uuid ? nullptr : g->uuid_string, own_disabled); !ok(rc))
        return rc;

    if (make_uuid) {
        ui_uuid_create(g->uuid, g->uuid_string);
        if (!g->uuid_string) return Rc::FileError;
    }

    const std::string path = group_file(dir, g->domain, g->group_id);
    if (!io::write_file(path, encode_record(g, std::span<const Field<rspi_group>>(format::kGroupFields))))
        return Rc::FileError;
    if (g->blob) {
        // The group file stays as written; the list is left alone.
        if (const Rc rc = ui_write_blob(blob_file(path), g->blob); !ok(rc)) return rc;
    }
    return ui_add_to_grouplist(dir, g);
}

Rc ui_add_to_grouplist(std::string_view dir, rspi_group *g) {
    return index_add(dir, kGroupList, member_entry(view(g->domain), view(g->group_id)), view(g->uuid_string),
                     view(g->registry_id));
}

Rc ui_disable_in_grouplist(std::string_view dir, rspi_group *g) {
    ui_tolower(g->domain);
    ui_tolower(g->group_id);
    return index_replace_named(dir, kGroupList, member_entry(view(g->domain), view(g->group_id)),
                               index_line(kIndexDisabled, view(g->uuid_string), view(g->registry_id)));
}

Rc ui_remove_from_grouplist(std::string_view dir, rspi_group *g) {
    return index_replace_named(dir, kGroupList, member_entry(view(g->domain), view(g->group_id)), {});
}

}  // namespace tolv
