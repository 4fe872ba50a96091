// tolvresource.cpp - resources: create, get, modify, delete and the
// enumeration of "resourcelist.file".
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

Rc create_resource(std::string_view dir, rspi_resource *r) {
    if (!r || !usable_name(r->name)) return Rc::InvalidResource;
    ui_tolower(r->name);
    if (!resource_name_fits(r->name)) return Rc::InvalidResource;
    // The list is not consulted: the file alone says the resource exists.
    if (const Rc rc = io::absent(io::probe(resource_file(dir, r->name)), Rc::ResourceExists); !ok(rc)) return rc;
    return ui_replace_resource(dir, r, true);
}

Rc get_resource(std::string_view dir, rspi_resource *r) {
    if (!r || !r->name) return Rc::InvalidResource;
    ui_tolower(r->name);
    const std::string path = resource_file(dir, r->name);
    Rc rc = Rc::Success;
    long length = 0;
    const Rc read = read_record_file(path, Rc::InvalidResource, true, [&](std::string_view data) -> long {
        RecordReader in(data);
        in.key(r->name);
        in.number(r->state);
        in.text(r->description);
        in.number(r->attribute);
        ui_read_uuid(in, r->uuid, r->uuid_string);
        std::string_view line;
        const long stored = in.optional(line) ? parse_long(line) : 0;
        rc = in.rc();
        return stored;
    }, length);
    if (!ok(read)) return read;
    // No line 6 means no blob.
    return ui_load_blob(path, length, rc, r->blob);
}

Rc modify_resource(char **handle, std::string_view dir, rspi_resource *changes) {
    if (!changes) return Rc::InvalidResource;
    Borrowing<rspi_resource> w(rspi_alloc_resource(), rspi_free_resource);
    if (!w) return Rc::NoMemory;
    w.lend(&rspi_resource::name, changes->name);
    const uint32_t got = rspi_get_resource(handle, w.get());
    if (got != RSPI_RC_SUCCESS) return static_cast<Rc>(got);
    w.lend_from(changes, &rspi_resource::description, &rspi_resource::blob);
    rspi_resource *work = w.get();
    if (changes->attribute != 0) work->attribute = changes->attribute;
    if (changes->state != 2) work->state = changes->state;
    return ui_replace_resource(dir, work, false);
}

Rc delete_resource(std::string_view dir, rspi_resource *r) {
    if (!r || !r->name) return Rc::InvalidResource;
    ui_tolower(r->name);
    const std::string path = resource_file(dir, r->name);
    // A stray blob goes even when there was no resource file.
    return io::remove_record_and_blob(path, Rc::InvalidResource, [&] { return ui_remove_from_resourcelist(dir, r); });
}

Rc step_resource(char **handle, std::string_view dir, rspi_resourcelist *list, rspi_resource *r, int32_t fetch,
                 Move move, const text::OpText &t) {
    return traced_cursor_step(
        t, dir, list, r, Rc::InvalidResource, move, fetch,
        [&](std::string_view entry) { return set_str(r->name, entry); },
        [&] { return static_cast<Rc>(rspi_get_resource(handle, r)); });
}

}  // namespace

}  // namespace tolv

using tolv::guarded_count_op;
using tolv::guarded_op;
using tolv::guarded_write_op;
namespace text = tolv::text;

TOLV_EXPORT uint32_t rspi_create_resource(char **handle, rspi_resource *resource) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::create_resource, [&] { return tolv::create_resource(dir, resource); });
    });
}

TOLV_EXPORT uint32_t rspi_get_resource(char **handle, rspi_resource *resource) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::get_resource, [&] { return tolv::get_resource(dir, resource); });
    });
}

TOLV_EXPORT uint32_t rspi_modify_resource(char **handle, rspi_resource *resource) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::modify_resource, [&] { return tolv::modify_resource(handle, dir, resource); });
    });
}

TOLV_EXPORT uint32_t rspi_delete_resource(char **handle, rspi_resource *resource) {
    return guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(text::delete_resource, [&] { return tolv::delete_resource(dir, resource); });
    });
}

TOLV_EXPORT uint32_t rspi_get_resourcelist(char **handle, rspi_resourcelist *list) {
    return guarded_op(handle, [&](std::string_view) {
        return tolv::traced_name_list(text::get_resourcelist, list, tolv::Rc::InvalidResource, tolv::kResourceList);
    });
}

TOLV_EXPORT int32_t rspi_resourcelist_count(char **handle, rspi_resourcelist *list) {
    return guarded_count_op(handle, [&](std::string_view dir) {
        return tolv::traced_list_count(text::resourcelist_count, dir, list);
    });
}

TOLV_EXPORT uint32_t rspi_first_resource(char **handle, rspi_resourcelist *list, rspi_resource *resource,
                                         int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_resource(handle, dir, list, resource, fetch, tolv::Move::First, text::first_resource);
    });
}

TOLV_EXPORT uint32_t rspi_next_resource(char **handle, rspi_resourcelist *list, rspi_resource *resource,
                                        int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_resource(handle, dir, list, resource, fetch, tolv::Move::Next, text::next_resource);
    });
}

TOLV_EXPORT uint32_t rspi_previous_resource(char **handle, rspi_resourcelist *list, rspi_resource *resource,
                                            int32_t fetch) {
    return guarded_op(handle, [&](std::string_view dir) {
        return tolv::step_resource(handle, dir, list, resource, fetch, tolv::Move::Previous,
                                   text::previous_resource);
    });
}
