// tolvrescreds.cpp - a user's resource credentials: create, get, modify, delete, and the enumeration of one
// user's credential list.
#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr std::span<const Field<rspi_rescreds>> kFields = format::kRescredsFamily.fields;

// Lower-cases the three names; false, nothing done, when one is missing.
bool lower_names(rspi_user *user, rspi_rescreds *creds) {
    if (!user || !creds || !creds->name || !lower_given(user->domain, user->user_id)) return false;
    ui_tolower(creds->name);
    return true;
}

// "domain user_id name": the credential's line in the user's credential list.
std::string list_entry(const rspi_user *user, const rspi_rescreds *creds) {
    return member_entry(user->domain, user->user_id).append(" ").append(creds->name);
}

// Record files are written through "<name>_T", so the blob's temporary name is the longest.
bool names_fit(const rspi_user *user, const rspi_rescreds *creds) {
    const std::string entry = list_entry(user, creds);
    return one_line(entry) &&
           component_fits(entry.size() + format::kRescredsFile.suffix.size(),
                          kBlobSuffix.size() + kTempSuffix.size()) &&
           component_fits(rescreds_list(user->domain, user->user_id).size(), kTempSuffix.size()) &&
           entry_fits(entry.size());
}

std::string path_of(std::string_view dir, const rspi_user *user, const rspi_rescreds *creds) {
    return rescreds_file(dir, user->domain, user->user_id, creds->name);
}

// Writes the credential file (and blob) and adds its line to the user's credential list. 35, nothing written,
// for a null name, names too long for their files or list line, or texts that would not read back; state 2
// becomes 1 in the record.
Rc replace(std::string_view dir, rspi_user *user, rspi_rescreds *creds, bool create_uuid) {
    if (!lower_names(user, creds) || !names_fit(user, creds)) return Rc::InvalidRescreds;
    // Made before the checks: the text it replaces is not stored, so it is not judged either.
    if (create_uuid) ui_uuid_create(creds->uuid, creds->uuid_string);
    if (!storable_record(creds, kFields)) return Rc::InvalidRescreds;
    const std::string path = path_of(dir, user, creds);
    if (!io::write_file(path, encode_record(creds, kFields))) return Rc::FileError;
    if (creds->blob) {
        if (const Rc rc = ui_write_blob(blob_file(path), creds->blob); !ok(rc)) return rc;
    }
    return ui_add_to_entrylist(dir, rescreds_list(user->domain, user->user_id), list_entry(user, creds));
}

// Traced here rather than in its export: a modify and a fetching cursor trace it too.
Rc get_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    return traced(text::get_rescreds, [&] {
        if (!lower_names(user, creds)) return Rc::InvalidRescreds;
        return read_record(path_of(dir, user, creds), Rc::InvalidRescreds, creds, kFields);
    });
}

Rc create_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    if (const Rc valid = ui_validate_user(dir, user); !ok(valid)) return valid;
    if (!creds || !usable_name(creds->name)) return Rc::InvalidRescreds;
    ui_tolower(creds->name);
    if (!names_fit(user, creds)) return Rc::InvalidRescreds;
    if (const Rc rc = io::absent(io::probe(path_of(dir, user, creds)), Rc::RescredsExists); !ok(rc)) return rc;
    return replace(dir, user, creds, true);
}

Rc delete_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds) {
    if (!lower_names(user, creds)) return Rc::InvalidRescreds;
    const std::string path = path_of(dir, user, creds);
    if (!io::remove_file(path)) return Rc::InvalidRescreds;
    if (const Rc rc = io::remove_if_there(blob_file(path)); !ok(rc)) return rc;
    return ui_remove_from_entrylist(dir, rescreds_list(user->domain, user->user_id), list_entry(user, creds));
}

Rc modify_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *changes) {
    if (!changes) return Rc::InvalidRescreds;
    Borrowing<rspi_rescreds> w(rspi_alloc_rescreds(), rspi_free_rescreds);
    if (!w) return Rc::NoMemory;
    w.lend(&rspi_rescreds::name, changes->name);
    if (const Rc got = get_rescreds(dir, user, w.get()); !ok(got)) return got;
    merge_record(w, changes, kFields);
    return replace(dir, user, w.get(), false);
}

// Splits a credential-list line "domain user_id name" (9 without two blanks, 3 without memory); creds->name
// takes the name, and with fetch the whole credential is read through get_rescreds.
Rc get_entry(std::string_view dir, rspi_rescreds *creds, const char *line, int32_t fetch) {
    const std::string_view text = line ? line : "";
    const std::size_t b1 = text.find(' ');
    const std::size_t b2 = b1 == std::string_view::npos ? b1 : text.find(' ', b1 + 1);
    if (b2 == std::string_view::npos) return Rc::Malformed;
    std::string domain(text.substr(0, b1)), user_id(text.substr(b1 + 1, b2 - b1 - 1));
    rspi_user owner{};
    owner.domain = domain.data();
    owner.user_id = user_id.data();
    if (!ok(set_str(creds->name, text.substr(b2 + 1)))) return Rc::NoMemory;
    return fetch ? get_rescreds(dir, &owner, creds) : Rc::Success;
}

Rc get_rescredslist(std::string_view dir, rspi_user *user, rspi_rescredslist *list) {
    if (const Rc valid = ui_validate_user(dir, user); !ok(valid)) return valid;
    if (!list) return Rc::InvalidRescreds;
    return list_name_lazy(list_ref(list), rescreds_list(user->domain, user->user_id));
}

// first writes its exit line after a failed load too; next and previous do not.
uint32_t rescreds_step(const text::OpText &op, char **handle, rspi_rescredslist *list, rspi_rescreds *creds,
                       int32_t fetch, Move move) {
    return guarded_op(handle, [&](std::string_view dir) {
        TOLV_TRACE("%s", op.entry);
        Rc rc = Rc::NoMoreEntries;
        if (list && !creds) {
            rc = Rc::InvalidRescreds;
        } else if (list) {
            const CursorResult at = cursor_move(dir, list_ref(list), move);
            if (at.load_failed && move != Move::First) return at.rc;
            rc = at.rc;
            if (ok(rc)) rc = get_entry(dir, creds, at.item->data, fetch);
        }
        TOLV_TRACE(op.exit, code(rc));
        return rc;
    });
}

}  // namespace

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_rescreds(char **h, rspi_user *user, rspi_rescreds *creds) {
    return tolv::create_op(tolv::text::create_rescreds, h, creds, tolv::kFields,
                           [&](std::string_view dir) { return tolv::create_rescreds(dir, user, creds); });
}
TOLV_EXPORT uint32_t rspi_modify_rescreds(char **h, rspi_user *user, rspi_rescreds *creds) {
    return tolv::traced_write_op(tolv::text::modify_rescreds, h,
                                 [&](std::string_view dir) { return tolv::modify_rescreds(dir, user, creds); });
}
TOLV_EXPORT uint32_t rspi_delete_rescreds(char **h, rspi_user *user, rspi_rescreds *creds) {
    return tolv::traced_write_op(tolv::text::delete_rescreds, h,
                                 [&](std::string_view dir) { return tolv::delete_rescreds(dir, user, creds); });
}
TOLV_EXPORT uint32_t rspi_get_rescredslist(char **h, rspi_user *user, rspi_rescredslist *list) {
    return tolv::traced_read_op(tolv::text::get_rescredslist, h,
                                [&](std::string_view dir) { return tolv::get_rescredslist(dir, user, list); });
}
TOLV_EXPORT uint32_t rspi_get_rescreds(char **handle, rspi_user *user, rspi_rescreds *creds) {
    return tolv::guarded_op(handle, [&](std::string_view dir) { return tolv::get_rescreds(dir, user, creds); });
}
TOLV_EXPORT int32_t rspi_rescredslist_count(char **h, rspi_rescredslist *l) {
    return tolv::count_op(tolv::text::rescredslist_count, h, l);
}
TOLV_EXPORT uint32_t rspi_first_rescreds(char **h, rspi_rescredslist *l, rspi_rescreds *r, int32_t fetch) {
    return tolv::rescreds_step(tolv::text::first_rescreds, h, l, r, fetch, tolv::Move::First);
}
TOLV_EXPORT uint32_t rspi_next_rescreds(char **h, rspi_rescredslist *l, rspi_rescreds *r, int32_t fetch) {
    return tolv::rescreds_step(tolv::text::next_rescreds, h, l, r, fetch, tolv::Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_rescreds(char **h, rspi_rescredslist *l, rspi_rescreds *r, int32_t fetch) {
    return tolv::rescreds_step(tolv::text::previous_rescreds, h, l, r, fetch, tolv::Move::Previous);
}
