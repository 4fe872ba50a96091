// tolvresgroup.cpp - resource groups: create, get, modify, delete, adding and
// removing members, and the enumeration of "resgrouplist.file".
#include <utility>

#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

std::string members_path(std::string_view dir, std::string_view name) {
    return make_path(dir, resgroup_members_list(name));
}

// Lower-cases the group's name; 34 unless it names an existing group.
Rc existing_group(std::string_view dir, rspi_resgroup *g) {
    if (!g || !g->name) return Rc::InvalidResgroup;
    ui_tolower(g->name);
    if (!resgroup_name_fits(g->name)) return Rc::InvalidResgroup;
    if (const Rc rc = io::present(io::probe(resgroup_file(dir, g->name)), Rc::InvalidResgroup); !ok(rc)) return rc;
    return Rc::Success;
}

// Replaces g->members with the members file, in list order. On a failure
// (3) the old members stay.
Rc load_members(std::string_view dir, rspi_resgroup *g) {
    std::string file = resgroup_members_list(g->name);
    rspi_resgrouplist work{};
    work.file = file.data();
    ScopeExit release([&] {
        for (rspi_list_item *item = work.first; item;) {
            rspi_list_item *next = item->next;
            rspi_free(item->data);
            rspi_free(item);
            item = next;
        }
    });
    const Rc rc = ui_get_entrylist(dir, list_ref(&work));
    if (!ok(rc)) return rc;
    rspi_resgroupmembers *members = rspi_alloc_resgroupmembers(work.count);
    if (!members) return Rc::NoMemory;
    int32_t i = 0;
    for (rspi_list_item *item = work.first; item && i < work.count; item = item->next)
        members->names[i++] = std::exchange(item->data, nullptr);
    rspi_free_resgroupmembers(g->members);
    g->members = members;
    return Rc::Success;
}

Rc create_resgroup(std::string_view dir, rspi_resgroup *g) {
    if (!g || !usable_name(g->name)) return Rc::InvalidResgroup;
    ui_tolower(g->name);
    if (!resgroup_name_fits(g->name)) return Rc::InvalidResgroup;
    if (const Rc rc = io::absent(io::probe(resgroup_file(dir, g->name)), Rc::ResgroupExists); !ok(rc)) return rc;
    return ui_replace_resgroup(dir, g, true);
}

// Lenient about the group file: line 1 is not checked and missing lines leave
// their fields alone. A blob that cannot be read in full is reported (6).
Rc get_resgroup(std::string_view dir, rspi_resgroup *g) {
    if (!g || !g->name) return Rc::InvalidResgroup;
    ui_tolower(g->name);
    const std::string path = resgroup_file(dir, g->name);
    Rc rc = Rc::Success;
    long length = 0;
    const Rc read = read_record_file(path, Rc::InvalidResgroup, true, [&](std::string_view data) -> long {
        RecordReader in(data);
        std::string_view line;
        in.optional(line);
        in.number(g->state);
        in.text(g->description);
        in.number(g->attribute);
        ui_read_uuid(in, g->uuid, g->uuid_string);
        const long stored = in.optional(line) ? parse_long(line) : 0;
        rc = in.rc() == Rc::NoMemory ? Rc::NoMemory : Rc::Success;
        return stored;
    }, length);
    if (!ok(read)) return read;
    rc = ui_load_blob(path, length, rc, g->blob);

    const Rc members = load_members(dir, g);
    return ok(members) ? rc : members;
}

Rc modify_resgroup(char **handle, std::string_view dir, rspi_resgroup *changes) {
    if (!changes) return Rc::InvalidResgroup;
    Borrowing<rspi_resgroup> w(rspi_alloc_resgroup(), rspi_free_resgroup);
    if (!w) return Rc::NoMemory;
    w.lend(&rspi_resgroup::name, changes->name);
    const uint32_t got = rspi_get_resgroup(handle, w.get());
    if (got != RSPI_RC_SUCCESS) return static_cast<Rc>(got);
    w.lend_from(changes, &rspi_resgroup::description, &rspi_resgroup::members, &rspi_resgroup::blob);
    rspi_resgroup *work = w.get();
    if (changes->attribute != 0) work->attribute = changes->attribute;
    if (changes->state != 2) work->state = changes->state;
    // The members are always rebuilt (and validated again): from the
    // caller's when given, else from those just read.
    return ui_replace_resgroup(dir, work, false);
}

Rc delete_resgroup(std::string_view dir, rspi_resgroup *g) {
    if (!g || !g->name) return Rc::InvalidResgroup;
    ui_tolower(g->name);
    const std::string path = resgroup_file(dir, g->name);
    if (!io::remove_file(path)) return errno == ENOENT ? Rc::InvalidResgroup : Rc::FileError;
    if (const Rc rc = io::remove_if_there(blob_file(path)); !ok(rc)) return rc;
    if (const Rc rc = io::remove_if_there(members_path(dir, g->name)); !ok(rc)) return rc;
    return ui_remove_from_resgrouplist(dir, g);
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

Rc step_resgroup(char **handle, std::string_view dir, rspi_resgrouplist *list, rspi_resgroup *g, int32_t fetch,
                 Move move, const text::OpText &t) {
    return traced_cursor_step(
        t, dir, list, g, Rc::InvalidResgroup, move, fetch,
        [&](std::string_view entry) { return set_str(g->name, entry); },
        [&] { return static_cast<Rc>(rspi_get_resgroup(handle, g)); });
}

}  // namespace

}  // namespace tolv

using tolv::guarded_count_op;
using tolv::guarded_op;
using tolv::guarded_write_op;
namespace text = tolv::text;

TOLV_EXPORT uint32_t rspi_create_resgroup(char **handle, rspi_resgroup *resgroup) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::create_resgroup, [&] { return tolv::create_resgroup(dir, resgroup); });
    });
}

TOLV_EXPORT uint32_t rspi_get_resgroup(char **handle, rspi_resgroup *resgroup) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::get_resgroup, [&] { return tolv::get_resgroup(dir, resgroup); });
    });
}

TOLV_EXPORT uint32_t rspi_modify_resgroup(char **handle, rspi_resgroup *resgroup) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::modify_resgroup, [&] { return tolv::modify_resgroup(handle, dir, resgroup); });
    });
}

TOLV_EXPORT uint32_t rspi_delete_resgroup(char **handle, rspi_resgroup *resgroup) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::delete_resgroup, [&] { return tolv::delete_resgroup(dir, resgroup); });
    });
}

TOLV_EXPORT uint32_t rspi_add_resgroup_member(char **handle, rspi_resgroup *resgroup, char *member) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::add_resgroup_member,
                            [&] { return tolv::add_resgroup_member(dir, resgroup, member); });
    });
}

TOLV_EXPORT uint32_t rspi_remove_resgroup_member(char **handle, rspi_resgroup *resgroup, char *member) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::remove_resgroup_member,
                            [&] { return tolv::remove_resgroup_member(dir, resgroup, member); });
    });
}

TOLV_EXPORT uint32_t rspi_get_resgrouplist(char **handle, rspi_resgrouplist *list) {
    return guarded_op(handle, [&](std::string_view) {
        return tolv::traced_name_list(text::get_resgrouplist, list, tolv::Rc::InvalidResgroup, tolv::kResgroupList);
    });
}

TOLV_EXPORT int32_t rspi_resgrouplist_count(char **handle, rspi_resgrouplist *list) {
    return guarded_count_op(handle, [&](std::string_view dir) {
        return tolv::traced_list_count(text::resgrouplist_count, dir, list);
    });
}

TOLV_EXPORT uint32_t rspi_first_resgroup(char **handle, rspi_resgrouplist *list, rspi_resgroup *resgroup,
                                         int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_resgroup(handle, dir, list, resgroup, fetch, tolv::Move::First, text::first_resgroup);
    });
}

TOLV_EXPORT uint32_t rspi_next_resgroup(char **handle, rspi_resgrouplist *list, rspi_resgroup *resgroup,
                                        int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_resgroup(handle, dir, list, resgroup, fetch, tolv::Move::Next, text::next_resgroup);
    });
}

TOLV_EXPORT uint32_t rspi_previous_resgroup(char **handle, rspi_resgrouplist *list, rspi_resgroup *resgroup,
                                            int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_resgroup(handle, dir, list, resgroup, fetch, tolv::Move::Previous,
                                   text::previous_resgroup);
    });
}
