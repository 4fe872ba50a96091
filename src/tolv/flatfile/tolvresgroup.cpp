// tolvresgroup.cpp - resource groups: create, get, modify, delete, adding and removing members, and the
// enumeration of "resgrouplist.file".
#include <algorithm>
#include <utility>
#include <vector>

#include "tolvinternal.h"

namespace tolv {

namespace {

// Validates every member (lower-casing it in place) before the members file is touched, then writes the sorted,
// deduplicated members in one rewrite: the bytes that adding them one by one would give. No members, no file.
Rc rebuild_members(std::string_view dir, std::string_view name, rspi_resgroupmembers *members) {
    const int32_t count = std::max<int32_t>(members->count, 0);
    for (int32_t i = 0; i < count; ++i)
        if (!ok(ui_validate_resource(dir, members->names[i]))) return Rc::InvalidResource;
    // Valid members are single list pieces, so the list order is that of the lines with their newlines.
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

// Replaces g->members with the members file, in list order. On a failure (3) the old members stay.
Rc load_members(std::string_view dir, rspi_resgroup *g) {
    std::string file = resgroup_members_list(g->name);
    Borrowing<rspi_resgrouplist> work(rspi_alloc_resgrouplist(), rspi_free_resgrouplist);
    if (!work) return Rc::NoMemory;
    work.lend(&rspi_resgrouplist::file, file.data());
    const Rc rc = ui_get_entrylist(dir, list_ref(work.get()));
    if (!ok(rc)) return rc;
    rspi_resgroupmembers *members = rspi_alloc_resgroupmembers(work.get()->count);
    if (!members) return Rc::NoMemory;
    int32_t i = 0;
    for (rspi_list_item *item = work.get()->first; item && i < work.get()->count; item = item->next)
        members->names[i++] = std::exchange(item->data, nullptr);
    rspi_free_resgroupmembers(g->members);
    g->members = members;
    return Rc::Success;
}

// The group file first: without it nothing else goes.
Rc remove_resgroup(std::string_view dir, rspi_resgroup *g) {
    const std::string path = resgroup_file(dir, g->name);
    if (!io::remove_file(path)) return errno == ENOENT ? Rc::InvalidResgroup : Rc::FileError;
    if (const Rc rc = io::remove_if_there(blob_file(path)); !ok(rc)) return rc;
    if (const Rc rc = io::remove_if_there(make_path(dir, resgroup_members_list(g->name))); !ok(rc)) return rc;
    return ui_remove_from_entrylist(dir, kResgroupList, g->name);
}

// Lenient about the group file: line 1 is not checked and missing lines leave
// their fields alone. A blob that cannot be read in full is reported (6). A
// modify always rebuilds the members (validating them again): from the
// caller's when given, else from those just read.
const KeyedFamily<rspi_resgroup> kResgroup{
    .of = format::kResgroupFamily,
    .read = {.keys = KeyRead::Skip},
    .file = [](std::string_view dir, const rspi_resgroup *g) { return resgroup_file(dir, g->name); },
    .alloc = rspi_alloc_resgroup,
    .release = rspi_free_resgroup,
    .get_op = rspi_get_resgroup,
    .also_fits = [](std::string_view name) {
        return component_fits(resgroup_members_list(name).size(), kTempSuffix.size());
    },
    .also_read = load_members,
    .also_write = [](std::string_view dir, rspi_resgroup *g) {
        return g->members ? rebuild_members(dir, g->name, g->members) : Rc::Success;
    },
    .also_lend = [](Borrowing<rspi_resgroup> &w, const rspi_resgroup *changes) {
        w.lend(&rspi_resgroup::members, changes->members);
    },
    .remove = remove_resgroup,
};

// Lower-cases the group's name; 34 unless it names an existing group.
Rc existing_group(std::string_view dir, rspi_resgroup *g) {
    if (!g || !g->name) return Rc::InvalidResgroup;
    ui_tolower(g->name);
    if (!kResgroup.names_fit(g)) return Rc::InvalidResgroup;
    return io::present(io::probe(resgroup_file(dir, g->name)), Rc::InvalidResgroup);
}

Rc add_resgroup_member(std::string_view dir, rspi_resgroup *g, char *member) {
    Rc rc = existing_group(dir, g);
    if (!ok(rc)) return rc;
    rc = ui_validate_resource(dir, member);
    if (!ok(rc)) return rc;
    return ui_add_to_entrylist(dir, resgroup_members_list(g->name), member);
}

Rc remove_resgroup_member(std::string_view dir, rspi_resgroup *g, char *member) {
    const Rc rc = existing_group(dir, g);
    if (!ok(rc)) return rc;
    if (!member) return Rc::InvalidResgroup;
    // The resource itself is not checked: a stale member can still go.
    ui_tolower(member);
    return ui_remove_from_entrylist(dir, resgroup_members_list(g->name), member);
}

}  // namespace

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_resgroup(char **h, rspi_resgroup *r) {
    return tolv::keyed_create(tolv::kResgroup, tolv::text::create_resgroup, h, r);
}
TOLV_EXPORT uint32_t rspi_get_resgroup(char **h, rspi_resgroup *r) {
    return tolv::keyed_get(tolv::kResgroup, tolv::text::get_resgroup, h, r);
}
TOLV_EXPORT uint32_t rspi_modify_resgroup(char **h, rspi_resgroup *r) {
    return tolv::keyed_modify(tolv::kResgroup, tolv::text::modify_resgroup, h, r);
}
TOLV_EXPORT uint32_t rspi_delete_resgroup(char **h, rspi_resgroup *r) {
    return tolv::keyed_delete(tolv::kResgroup, tolv::text::delete_resgroup, h, r);
}
TOLV_EXPORT uint32_t rspi_get_resgrouplist(char **h, rspi_resgrouplist *l) {
    return tolv::keyed_list(tolv::kResgroup, tolv::text::get_resgrouplist, h, l);
}
TOLV_EXPORT int32_t rspi_resgrouplist_count(char **h, rspi_resgrouplist *l) {
    return tolv::count_op(tolv::text::resgrouplist_count, h, l);
}
TOLV_EXPORT uint32_t rspi_first_resgroup(char **h, rspi_resgrouplist *l, rspi_resgroup *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kResgroup, tolv::text::first_resgroup, h, l, r, fetch, tolv::Move::First);
}
TOLV_EXPORT uint32_t rspi_next_resgroup(char **h, rspi_resgrouplist *l, rspi_resgroup *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kResgroup, tolv::text::next_resgroup, h, l, r, fetch, tolv::Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_resgroup(char **h, rspi_resgrouplist *l, rspi_resgroup *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kResgroup, tolv::text::previous_resgroup, h, l, r, fetch, tolv::Move::Previous);
}

TOLV_EXPORT uint32_t rspi_add_resgroup_member(char **h, rspi_resgroup *g, char *member) {
    return tolv::traced_write_op(tolv::text::add_resgroup_member, h,
                                 [&](std::string_view dir) { return tolv::add_resgroup_member(dir, g, member); });
}
TOLV_EXPORT uint32_t rspi_remove_resgroup_member(char **h, rspi_resgroup *g, char *member) {
    return tolv::traced_write_op(tolv::text::remove_resgroup_member, h,
                                 [&](std::string_view dir) { return tolv::remove_resgroup_member(dir, g, member); });
}
