// tolvinternal_fields.h - a record read, written, merged and checked from its family's field table (tolvfields.h):
// no family spells its lines out again.
#pragma once

#include <cstring>
#include <optional>
#include <span>

#include "tolvfields.h"
#include "tolvinternal/tolvinternal_blobs.h"
#include "tolvinternal/tolvinternal_host.h"

namespace tolv {

using format::Field;
using format::Kind;

// How a family reads its record file back.
enum class KeyRead {
    Equal,     // each key line must equal the record's key
    NonEmpty,  // each key line must be there and not empty
    Skip,      // the first line is not checked, and missing lines are no fault
};
struct ReadRules {
    KeyRead keys = KeyRead::Equal;
    bool with_password = true;  // without: the password line is skipped, the member untouched
    bool with_blob = true;      // without: the blob is left alone
};

// A password of type 1 and at most 99 bytes is stored; any other stores none.
inline bool usable_password(const rspi_authndata *pw) { return pw && pw->type == 1 && pw->length <= 99; }
// Replaces field with a type-1 password holding line; the old one goes only once the new one is complete. 3
// without memory.
Rc take_password(std::string_view line, rspi_authndata *&field);

namespace detail {
struct Parsed {
    Rc rc = Rc::Success;
    long blob_length = 0;
    bool short_tail = false;  // a line after the blob length is missing
};

template <class R>
Parsed parse_fields(std::string_view data, R *r, std::span<const Field<R>> fields, const ReadRules &rules) {
    RecordReader in(data);
    Parsed out;
    bool after_blob = false;
    std::string_view line;
    for (const Field<R> &f : fields) {
        if (after_blob) {  // only numbers follow the blob length
            if (in.optional(line))
                f.set_number(r, parse_long(line));
            else
                out.short_tail = true;
            continue;
        }
        switch (f.kind) {
            case Kind::Key:
                if (rules.keys == KeyRead::Skip)
                    in.optional(line);
                else if (rules.keys == KeyRead::NonEmpty)
                    in.key();
                else
                    in.key(std::string_view(r->*f.text ? r->*f.text : ""));
                break;
            case Kind::Text: in.text(r->*f.text); break;
            case Kind::Unsigned:
            case Kind::Signed:
                if (f.u32)
                    in.number(r->*f.u32);
                else
                    in.number(r->*f.i32);
                break;
            case Kind::Uuid: ui_read_uuid(in, r->uuid, r->*f.text); break;
            case Kind::Password:
                if (in.next(line) && rules.with_password && !ok(take_password(line, r->*f.password)))
                    in.set_rc(Rc::NoMemory);
                break;
            case Kind::LoginTypes:
                if (in.next(line)) {
                    rspi_free_logintypes(r->*f.login_types);
                    r->*f.login_types = ui_logintypes_data(line, ";");
                }
                break;
            case Kind::BlobLength:
                out.blob_length = in.optional(line) ? parse_long(line) : 0;
                out.rc = in.rc();
                after_blob = true;
                break;
        }
    }
    if (!after_blob) out.rc = in.rc();
    if (rules.keys == KeyRead::Skip && out.rc != Rc::NoMemory) out.rc = Rc::Success;
    return out;
}

template <class R>
bool has_stored_password(const R *r, std::span<const Field<R>> fields) {
    for (const Field<R> &f : fields)
        if (f.kind == Kind::Password) return usable_password(r->*f.password);
    return false;
}
}  // namespace detail

// Reads the record file at path into r by its fields: `missing` when it does not open, 9 for a short file (the
// fields present are filled), then the blob's result (see ui_load_blob); a line missing after the blob length
// makes the read 9 whatever the blob gave (but 3). found: set when the record file was read. A record and its
// blob are two files: both are read again when either changed meanwhile or a change is pending, so that a reader never pairs one
// version's record with another's blob; after a few tries (a writer rewriting this entry all the time) the
// registry's lock, taken shared, keeps writers out while they are read.
template <class R>
Rc read_record(const std::string &path, Rc missing, R *r, std::span<const Field<R>> fields,
               const ReadRules &rules = {}, bool *found = nullptr) {
    constexpr int kTries = 8;
    for (int attempt = 1;; ++attempt) {
        if (attempt > kTries) (void)io::lock_shared();
        std::optional<io::Snapshot> snap;
        if (rules.with_blob) snap.emplace();
        io::Bytes data;
        if (const Rc got = io::present(io::read_file(path, data), missing); !ok(got)) return got;
        detail::Parsed p = detail::parse_fields(data.view(), r, fields, rules);
        if (found) *found = true;
        Rc rc = rules.with_blob ? ui_load_blob(path, p.blob_length, p.rc, r->blob) : p.rc;
        if (snap && p.blob_length > 0 && !snap->holds()) continue;
        // The line after the blob is read last, so its absence decides over the blob's result (memory aside).
        if (p.short_tail && rc != Rc::NoMemory) rc = Rc::Malformed;
        return rc;
    }
}

// The record file's bytes. A number left "not given" is stored as its default, and the record takes the stored
// value. uuid: the UUID text to store (default: the record's).
template <class R>
std::string encode_record(R *r, std::span<const Field<R>> fields, const char *uuid = nullptr) {
    const bool has_password = detail::has_stored_password(r, fields);
    RecordWriter w;
    for (const Field<R> &f : fields) {
        switch (f.kind) {
            case Kind::Key:
            case Kind::Text: w.text(r->*f.text); break;
            case Kind::Uuid: w.text(uuid ? uuid : r->*f.text); break;
            case Kind::Unsigned:
            case Kind::Signed: {
                std::int64_t v = f.number(r);
                if (v == f.not_given) v = f.dflt;
                if (f.needs_password && !has_password) v = 0;
                f.set_number(r, v);
                w.number(f.kind == Kind::Unsigned ? static_cast<long long>(static_cast<uint32_t>(v))
                                                  : static_cast<long long>(static_cast<int32_t>(v)));
                break;
            }
            case Kind::Password: {
                const rspi_authndata *pw = r->*f.password;
                w.text(usable_password(pw) && pw->length > 0 ? std::string_view(pw->data, pw->length)
                                                              : std::string_view());
                break;
            }
            case Kind::LoginTypes: w.text(ui_logintypes_string(r->*f.login_types, ";", kListLineSize)); break;
            case Kind::BlobLength:
                if (const rspi_blob *b = r->*f.blob)
                    w.number(b->length);
                else if (f.always)
                    w.number(0);
                else
                    return w.bytes();  // nothing follows a missing blob length
                break;
        }
    }
    return w.bytes();
}

// A text field that reads back as it was written: one line that the record reader takes in one piece. Null (an
// empty line) is fine.
inline bool storable_text(const char *s) {
    if (!s) return true;
    const std::string_view v(s);
    return v.size() <= kRecordLineSize - 2 && v.find('\n') == std::string_view::npos;
}

// True when every text, the UUID text (uuid, default the record's), the login types and a stored password read
// back as they are written.
template <class R>
bool storable_record(const R *r, std::span<const Field<R>> fields, const char *uuid = nullptr) {
    for (const Field<R> &f : fields) {
        switch (f.kind) {
            case Kind::Text:
                if (!storable_text(r->*f.text)) return false;
                break;
            case Kind::Uuid:
                if (!storable_text(uuid ? uuid : r->*f.text)) return false;
                break;
            case Kind::LoginTypes:
                if (const rspi_logintypes *lt = r->*f.login_types)
                    for (int32_t i = 0; i < lt->count; ++i)
                        if (lt->types[i] && std::strchr(lt->types[i], '\n')) return false;
                break;
            case Kind::Password:
                if (const rspi_authndata *pw = r->*f.password; usable_password(pw) && pw->length > 0) {
                    if (!pw->data) return false;
                    const std::string_view bytes(pw->data, pw->length);
                    if (bytes.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) return false;
                }
                break;
            default: break;
        }
    }
    return true;
}

// Lays the fields changes gives over the stored record in w: pointers are lent (and handed back by w), numbers
// copied unless "not given"; a reset value stores "not given" again. Keys and kept fields stay.
template <class R>
void merge_record(Borrowing<R> &w, const R *changes, std::span<const Field<R>> fields) {
    R *work = w.get();
    for (const Field<R> &f : fields) {
        if (f.kept) continue;
        switch (f.kind) {
            case Kind::Key: break;
            case Kind::Text:
            case Kind::Uuid: w.lend(f.text, changes->*f.text); break;
            case Kind::Password: w.lend(f.password, changes->*f.password); break;
            case Kind::LoginTypes: w.lend(f.login_types, changes->*f.login_types); break;
            case Kind::BlobLength: w.lend(f.blob, changes->*f.blob); break;
            case Kind::Unsigned:
            case Kind::Signed: {
                const std::int64_t v = f.number(changes);
                if (f.reset != format::kNoReset && v == f.reset)
                    f.set_number(work, f.not_given);
                else if (v != f.not_given)
                    f.set_number(work, v);
                break;
            }
        }
    }
}

}  // namespace tolv
