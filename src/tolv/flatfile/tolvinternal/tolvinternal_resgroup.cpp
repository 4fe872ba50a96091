// tolvinternal_resgroup.cpp - storage of resource groups: the group file, its
// blob, its members file and the resource-group list.
#include <algorithm>
#include <vector>

#include "tolvinternal.h"

namespace tolv {

namespace {

// Validates every member (lower-casing it in place) before the members file
// is touched, then writes the sorted, deduplicated members in one rewrite:
// the bytes that adding them one by one would give. No members, no file.
Rc rebuild_members(std::string_view dir, std::string_view name, rspi_resgroupmembers *members) {
    const int32_t count = std::max<int32_t>(members->count, 0);
    for (int32_t i = 0; i < count; ++i)
        if (!ok(ui_validate_resource(dir, members->names[i]))) return Rc::InvalidResource;

    // Valid members are single list pieces, so the list order is that of the
    // lines with their newlines.
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) lines.push_back(std::string(members->names[i]) + '\n');
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());

    return rewrite_list(make_path(dir, resgroup_members_list(name)), [&](ListEdit &e) {
        for (const auto &line : lines) e.out.append(line);
        return lines.empty() ? ListEnd::Remove : ListEnd::Replace;
    });
}

}  // namespace

bool resgroup_name_fits(std::string_view name) {
    // The longest name is the blob's while it is written: "_blob" + "_T".
    return one_line(name) &&
           component_fits(resgroup_file({}, name).size(), kBlobSuffix.size() + kTempSuffix.size()) &&
           component_fits(resgroup_members_list(name).size(), kTempSuffix.size()) && entry_fits(name.size());
}

Rc ui_replace_resgroup(std::string_view dir, rspi_resgroup *resgroup, bool create_uuid) {
    if (!resgroup || !resgroup->name || !resgroup_name_fits(resgroup->name)) return Rc::InvalidResgroup;
    if (!storable_texts(resgroup->description, resgroup->uuid_string)) return Rc::InvalidResgroup;
    const std::string path = resgroup_file(dir, resgroup->name);
    if (resgroup->state == 2) resgroup->state = 1;
    if (create_uuid) ui_uuid_create(resgroup->uuid, resgroup->uuid_string);

    RecordWriter w;
    w.text(resgroup->name)
        .u32(resgroup->state)
        .text(resgroup->description)
        .u32(resgroup->attribute)
        .text(resgroup->uuid_string);
    if (resgroup->blob) w.u32(resgroup->blob->length);
    if (!io::write_file(path, w.bytes())) return Rc::FileError;

    Rc rc = resgroup->blob ? ui_write_blob(blob_file(path), resgroup->blob) : Rc::Success;
    if (resgroup->members) {
        // A failed blob write stays the result.
        const Rc members = rebuild_members(dir, resgroup->name, resgroup->members);
        if (ok(rc)) rc = members;
    }
    if (!ok(rc)) return rc;  // the group file stays, without a list entry
    return ui_add_to_resgrouplist(dir, resgroup);
}

Rc ui_add_to_resgrouplist(std::string_view dir, rspi_resgroup *resgroup) {
    return ui_add_to_entrylist(dir, kResgroupList, resgroup->name);
}

Rc ui_remove_from_resgrouplist(std::string_view dir, rspi_resgroup *resgroup) {
    return ui_remove_from_entrylist(dir, kResgroupList, resgroup->name);
}

}  // namespace tolv
