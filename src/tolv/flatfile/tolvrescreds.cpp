// tolvrescreds.cpp - a user's resource credentials: create, get, modify,
// delete, and the enumeration of one user's credential list.
#include <cstdint>
#include <string>

#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

bool names_given(const rspi_user *user, const rspi_rescreds *creds) {
    return user && user->user_id && user->domain && creds && creds->name;
}

void lower_names(rspi_user *user, rspi_rescreds *creds) {
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    ui_tolower(creds->name);
}

// Line 7 becomes a fresh password of type 1; the old one goes only once the
// new one is complete.
Rc read_password(std::string_view line, rspi_authndata *&field) {
    rspi_authndata *pw = rspi_alloc_authndata();
    char *data = pw ? dup_str(line) : nullptr;
    if (!data) {
        rspi_free_authndata(pw);
        return Rc::NoMemory;
    }
    pw->type = 1;
    pw->length = static_cast<uint32_t>(line.size());
    pw->data = data;
    rspi_free_authndata(field);
    field = pw;
    return Rc::Success;
}

Rc read_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    if (!names_given(user, creds)) return Rc::InvalidRescreds;
    lower_names(user, creds);
    const std::string path = rescreds_file(dir, user->domain, user->user_id, creds->name);
    Rc rc = Rc::Success;
    long length = 0;
    const Rc got = read_record_file(path, Rc::InvalidRescreds, true, [&](std::string_view data) -> long {
        RecordReader r(data);
        r.key(creds->name);
        r.number(creds->state);
        r.text(creds->description);
        r.number(creds->attribute);
        ui_read_uuid(r, creds->uuid, creds->uuid_string);
        r.text(creds->text_1);
        std::string_view line;
        if (r.next(line) && !ok(read_password(line, creds->password))) r.set_rc(Rc::NoMemory);
        const long stored = r.optional(line) ? parse_long(line) : 0;
        rc = r.rc();
        return stored;
    }, length);
    if (!ok(got)) return got;
    return ui_load_blob(path, length, rc, creds->blob);
}

Rc create_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    return traced(text::create_rescreds, [&] {
        const Rc valid = ui_validate_user(dir, user);
        if (!ok(valid)) return valid;
        if (!creds || !usable_name(creds->name)) return Rc::InvalidRescreds;
        ui_tolower(creds->name);
        if (!rescreds_names_fit(user->domain, user->user_id, creds->name)) return Rc::InvalidRescreds;
        if (const Rc rc = io::absent(io::probe(rescreds_file(dir, user->domain, user->user_id, creds->name)),
                                     Rc::RescredsExists);
            !ok(rc))
            return rc;
        return ui_replace_rescreds(dir, user, creds, true);
    });
}

Rc delete_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    return traced(text::delete_rescreds, [&] {
        if (!names_given(user, creds)) return Rc::InvalidRescreds;
        lower_names(user, creds);
        const std::string path = rescreds_file(dir, user->domain, user->user_id, creds->name);
        if (!io::remove_file(path)) return Rc::InvalidRescreds;
        if (const Rc rc = io::remove_if_there(blob_file(path)); !ok(rc)) return rc;
        return ui_remove_from_entrylist(dir, rescreds_list(user->domain, user->user_id),
                                        rescreds_list_entry(user->domain, user->user_id, creds->name));
    });
}

Rc modify_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *changes) {
    return traced(text::modify_rescreds, [&] {
        if (!changes) return Rc::InvalidRescreds;
        rspi_rescreds *stored = rspi_alloc_rescreds();
        if (!stored) return Rc::NoMemory;
        // What the stored record owns while it carries the caller's fields.
        bool merged = false;
        char *own_description = nullptr;
        char *own_text_1 = nullptr;
        rspi_authndata *own_password = nullptr;
        rspi_blob *own_blob = nullptr;
        ScopeExit release([&] {
            stored->name = nullptr;
            if (merged) {
                stored->description = own_description;
                stored->text_1 = own_text_1;
                stored->password = own_password;
                stored->blob = own_blob;
            }
            rspi_free_rescreds(stored);
        });

        stored->name = changes->name;
        const Rc got = get_rescreds(dir, user, stored);
        if (!ok(got)) return got;

        own_description = stored->description;
        own_text_1 = stored->text_1;
        own_password = stored->password;
        own_blob = stored->blob;
        merged = true;
        if (changes->description) stored->description = changes->description;
        if (changes->attribute != 0) stored->attribute = changes->attribute;
        if (changes->state != 2) stored->state = changes->state;
        if (changes->text_1) stored->text_1 = changes->text_1;
        if (changes->password) stored->password = changes->password;
        if (changes->blob) stored->blob = changes->blob;
        return ui_replace_rescreds(dir, user, stored, false);
    });
}

Rc get_rescredslist(std::string_view dir, rspi_user *user, rspi_rescredslist *list) {
    TOLV_TRACE("%s", text::get_rescredslist.entry);
    const Rc rc = [&] {
        const Rc valid = ui_validate_user(dir, user);
        if (!ok(valid)) return valid;
        if (!list) return Rc::InvalidRescreds;
        return list_name_lazy(list_ref(list), rescreds_list(user->domain, user->user_id));
    }();
    TOLV_TRACE(text::get_rescredslist.exit, code(rc));
    return rc;
}

int32_t rescredslist_count(std::string_view dir, rspi_rescredslist *list) {
    TOLV_TRACE("%s", text::rescredslist_count.entry);
    return list ? list_count(dir, list_ref(list)) : 0;
}

// first writes its exit line after a failed load too; next and previous do not.
Rc move_rescreds(std::string_view dir, rspi_rescredslist *list, rspi_rescreds *creds, int32_t fetch, Move move,
                 const text::OpText &op, bool exit_after_failed_load) {
    TOLV_TRACE("%s", op.entry);
    Rc rc = Rc::NoMoreEntries;
    if (list && !creds) {
        rc = Rc::InvalidRescreds;
    } else if (list) {
        const CursorResult at = cursor_move(dir, list_ref(list), move);
        if (at.load_failed && !exit_after_failed_load) return at.rc;
        rc = at.rc;
        if (ok(rc)) rc = ui_get_rescredsentry(dir, creds, at.item->data, fetch);
    }
    TOLV_TRACE(op.exit, code(rc));
    return rc;
}

}  // namespace

Rc get_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    return traced(text::get_rescreds, [&] { return read_rescreds(dir, user, creds); });
}

}  // namespace tolv

using tolv::Move;

TOLV_EXPORT uint32_t rspi_create_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds) {
    return tolv::guarded_write_op(handle,
                                  [&](std::string_view dir) { return tolv::create_rescreds(dir, user, creds); });
}

TOLV_EXPORT uint32_t rspi_get_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds) {
    return tolv::guarded_op(handle, [&](std::string_view dir) { return tolv::get_rescreds(dir, user, creds); });
}

TOLV_EXPORT uint32_t rspi_modify_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds) {
    return tolv::guarded_write_op(handle,
                                  [&](std::string_view dir) { return tolv::modify_rescreds(dir, user, creds); });
}

TOLV_EXPORT uint32_t rspi_delete_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds) {
    return tolv::guarded_write_op(handle,
                                  [&](std::string_view dir) { return tolv::delete_rescreds(dir, user, creds); });
}

TOLV_EXPORT uint32_t rspi_get_rescredslist(char **handle, rspi_user *user, rspi_rescredslist *list) {
    return tolv::guarded_op(handle, [&](std::string_view dir) { return tolv::get_rescredslist(dir, user, list); });
}

TOLV_EXPORT int32_t rspi_rescredslist_count(char **handle, rspi_rescredslist *list) {
    return tolv::guarded_count_op(handle, [&](std::string_view dir) { return tolv::rescredslist_count(dir, list); });
}

TOLV_EXPORT uint32_t rspi_first_rescreds(char **handle, rspi_rescredslist *list, rspi_rescreds *creds,
                                         int32_t fetch) {
    return tolv::guarded_op(handle, [&](std::string_view dir) {
        return tolv::move_rescreds(dir, list, creds, fetch, Move::First, tolv::text::first_rescreds, true);
    });
}

TOLV_EXPORT uint32_t rspi_next_rescreds(char **handle, rspi_rescredslist *list, rspi_rescreds *creds,
                                        int32_t fetch) {
    return tolv::guarded_op(handle, [&](std::string_view dir) {
        return tolv::move_rescreds(dir, list, creds, fetch, Move::Next, tolv::text::next_rescreds, false);
    });
}

TOLV_EXPORT uint32_t rspi_previous_rescreds(char **handle, rspi_rescredslist *list, rspi_rescreds *creds,
                                            int32_t fetch) {
    return tolv::guarded_op(handle, [&](std::string_view dir) {
        return tolv::move_rescreds(dir, list, creds, fetch, Move::Previous, tolv::text::previous_rescreds, false);
    });
}
