// tolvinternal_familyops.h - create, get, modify, delete and the enumeration of a family named by its keys
// alone (policies, resources, resource groups), driven by its description: a family adds only what it does besides.
#pragma once

#include <cerrno>
#include <cstring>
#include <type_traits>
#include <utility>

#include "tolvcatalogue.h"
#include "tolvdiag.h"
#include "tolvinternal/tolvinternal_cursor.h"
#include "tolvinternal/tolvinternal_fields.h"
#include "tolvinternal/tolvinternal_indexcache.h"
#include "tolvinternal/tolvinternal_indexes.h"
#include "tolvinternal/tolvinternal_names.h"
#include "tolvinternal/tolvinternal_operation.h"

namespace tolv {

template <class R>
struct KeyedFamily {
    const format::Family<R> &of;  // its fields, list, keys and codes: the catalogue's
    ReadRules read = {};
    std::span<const Field<R>> fields = of.fields;
    Rc invalid = static_cast<Rc>(of.invalid), exists = static_cast<Rc>(of.exists);
    std::string_view list = of.list;  // the family's list: one "domain id" or "name" per line
    char *R::*domain = of.domain;     // null when one name is the key
    char *R::*id = of.id;
    std::string (*file)(std::string_view dir, const R *r);  // the record file
    R *(*alloc)();
    void (*release)(R *);
    uint32_t (*get_op)(char **, R *);  // the exported get, for modify and fetch
    // What a family keeps besides its record file (each may be null):
    bool (*also_fits)(std::string_view name) = nullptr;        // its other files' names fit
    Rc (*also_read)(std::string_view dir, R *r) = nullptr;      // after a get that found the file
    Rc (*also_write)(std::string_view dir, R *r) = nullptr;     // after the record and blob
    void (*also_lend)(Borrowing<R> &w, const R *changes) = nullptr;  // in a modify
    Rc (*remove)(std::string_view dir, R *r) = nullptr;         // instead of the usual delete

    bool keys_given(const R *r) const { return r && r->*id && (!domain || r->*domain); }
    void lower(R *r) const {
        if (domain) ui_tolower(r->*domain);
        ui_tolower(r->*id);
    }
    std::string entry(const R *r) const {
        std::string e;
        if (domain) e.append(r->*domain).push_back(' ');
        return e.append(r->*id);
    }
    // The lower-cased names hold no line break; the record file (with its blob's temporary name) and list line fit.
    bool names_fit(const R *r) const {
        const std::string name = entry(r);
        if (name.find('\n') != std::string::npos) return false;
        return component_fits(file({}, r).size(), kBlobSuffix.size() + kTempSuffix.size()) &&
               entry_fits(name.size()) && (!also_fits || also_fits(r->*id));
    }
};

// Writes the record file (and blob), what else the family keeps (the blob's failure comes first), then the
// list entry. `invalid`, nothing written, for null or unfitting names or texts that would not read back; state
// 2 becomes 1 in the record.
template <class R>
Rc replace_keyed(const KeyedFamily<R> &f, std::string_view dir, R *r, bool create_uuid) {
    if (!f.keys_given(r) || !f.names_fit(r)) return f.invalid;
    // Made before the checks: the text it replaces is not stored, so it is not judged either.
    if (create_uuid) ui_uuid_create(r->uuid, r->uuid_string);
    if (!storable_record<R>(r, f.fields)) return f.invalid;
    const std::string path = f.file(dir, r);
    if (!io::write_file(path, encode_record<R>(r, f.fields))) return Rc::FileError;
    Rc rc = r->blob ? ui_write_blob(blob_file(path), r->blob) : Rc::Success;
    if (f.also_write) {
        if (const Rc more = f.also_write(dir, r); ok(rc)) rc = more;
    }
    if (!ok(rc)) return rc;  // the file stays, without a list entry
    return ui_add_to_entrylist(dir, f.list, f.entry(r));
}

// The record file alone says the record exists: the list is not consulted.
template <class R>
Rc create_keyed(const KeyedFamily<R> &f, char **, std::string_view dir, R *r) {
    if (!r || !usable_name(r->*f.id) || (f.domain && !usable_name(r->*f.domain))) return f.invalid;
    f.lower(r);
    if (!f.names_fit(r)) return f.invalid;
    if (const Rc rc = io::absent(io::probe(f.file(dir, r)), f.exists); !ok(rc)) return rc;
    return replace_keyed(f, dir, r, true);
}

// What else the family keeps is read once the record file was: its failure outranks the record's result.
template <class R>
Rc get_keyed(const KeyedFamily<R> &f, char **, std::string_view dir, R *r) {
    if (!f.keys_given(r)) return f.invalid;
    f.lower(r);
    bool found = false;
    const Rc rc = read_record(f.file(dir, r), f.invalid, r, f.fields, f.read, &found);
    if (!found || !f.also_read) return rc;
    const Rc more = f.also_read(dir, r);
    return ok(more) ? rc : more;
}

// The stored record (read through the exported get) with the given fields of changes laid over it.
template <class R>
Rc modify_keyed(const KeyedFamily<R> &f, char **handle, std::string_view dir, R *changes) {
    if (!changes) return f.invalid;
    Borrowing<R> w(f.alloc(), f.release);
    if (!w) return Rc::NoMemory;
    w.lend(f.id, changes->*f.id);
    if (f.domain) w.lend(f.domain, changes->*f.domain);
    if (const uint32_t got = f.get_op(handle, w.get()); got != RSPI_RC_SUCCESS) return static_cast<Rc>(got);
    merge_record<R>(w, changes, f.fields);
    if (f.also_lend) f.also_lend(w, changes);
    return replace_keyed(f, dir, w.get(), false);
}

// A stray blob goes even when there was no record file.
template <class R>
Rc delete_keyed(const KeyedFamily<R> &f, char **, std::string_view dir, R *r) {
    if (!f.keys_given(r)) return f.invalid;
    f.lower(r);
    if (f.remove) return f.remove(dir, r);
    return io::remove_record_and_blob(f.file(dir, r), f.invalid,
                                      [&] { return ui_remove_from_entrylist(dir, f.list, f.entry(r)); });
}

// First, next, previous: the entry's names copied into the record (3 when a copy fails, 9 without a blank),
// and with fetch the record read. A failed list load or copy ends without the exit line.
template <class R, class L>
uint32_t keyed_step(const KeyedFamily<R> &f, const text::OpText &t, char **handle, L *list, R *r, int32_t fetch,
                    Move move) {
    return guarded_op(handle, [&](std::string_view dir) {
        TOLV_TRACE("%s", t.entry);
        const auto done = [&](Rc rc) {
            TOLV_TRACE(t.exit, code(rc));
            return rc;
        };
        if (!list) return done(Rc::NoMoreEntries);
        if (!r) return done(f.invalid);
        const CursorResult at = cursor_move(dir, list_ref(list), move);
        if (at.load_failed) return at.rc;
        if (!at.item) return done(at.rc);
        const std::string_view entry(at.item->data ? at.item->data : "");
        Rc filled = Rc::Malformed;
        const std::size_t blank = entry.find(' ');
        if (!f.domain)
            filled = set_str(r->*f.id, entry);
        else if (blank != std::string_view::npos)
            filled = ok(set_str(r->*f.domain, entry.substr(0, blank))) && ok(set_str(r->*f.id, entry.substr(blank + 1)))
                         ? Rc::Success
                         : Rc::NoMemory;
        if (filled == Rc::NoMemory) return filled;
        if (!ok(filled) || !fetch) return done(filled);
        return done(static_cast<Rc>(f.get_op(handle, r)));
    });
}

// The list named whole, loaded on first use; a failed copy of the name ends without the exit line.
template <class R, class L>
uint32_t keyed_list(const KeyedFamily<R> &f, const text::OpText &t, char **h, L *l) {
    return guarded_op(h, [&](std::string_view) {
        TOLV_TRACE("%s", t.entry);
        if (!l) return f.invalid;
        if (const Rc rc = list_name_lazy(list_ref(l), f.list); !ok(rc)) return rc;
        TOLV_TRACE("%s", t.exit);
        return Rc::Success;
    });
}

// A create's frame: what a create puts into the caller's record (a new UUID, the stored value of a number
// left "not given") stays only when the operation, its commit included, succeeds; else the record is as the
// caller gave it but for its names, lower-cased. A UUID text the create replaced is released only then, which
// is why ui_uuid_create leaves it alone.
template <class R>
class CreateUndo {
public:
    CreateUndo(R *r, std::span<const Field<R>> fields) : r_(r), fields_(fields) {
        if (r_) saved_ = *r_;
    }
    ~CreateUndo() { (void)settle(Rc::FileError); }  // an exception on the way counts as a failure
    CreateUndo(const CreateUndo &) = delete;
    CreateUndo &operator=(const CreateUndo &) = delete;
    Rc settle(Rc rc) {
        R *const r = std::exchange(r_, nullptr);
        if (!r) return rc;
        if (ok(rc)) {
            if (r->uuid_string != saved_.uuid_string) rspi_free(saved_.uuid_string);
            return rc;
        }
        if (r->uuid_string != saved_.uuid_string) rspi_free(r->uuid_string);
        r->uuid_string = saved_.uuid_string;
        std::memcpy(r->uuid, saved_.uuid, sizeof r->uuid);
        for (const Field<R> &f : fields_)
            if (f.is_number()) f.set_number(r, f.number(&saved_));
        return rc;
    }

private:
    R *r_;
    std::span<const Field<R>> fields_;
    R saved_{};
};

// A family's field table as an argument that does not take part in deducing R.
template <class R>
using FieldsOf = std::type_identity_t<std::span<const Field<R>>>;

// A create as an exported writer (see traced_op), under a CreateUndo.
template <class R, class Body, class... K>
uint32_t create_op(const text::OpText &t, char **handle, R *r, FieldsOf<R> fields, Body &&body,
                   K... key) {
    CreateUndo<R> undo(r, fields);
    return traced_op(true, t, handle, body, [&](Rc rc) { return undo.settle(rc); }, key...);
}

// What the exported operations of a keyed family call, each from a one-line function in the family's file.
template <class R>
uint32_t keyed_create(const KeyedFamily<R> &f, const text::OpText &t, char **h, R *r) {
    return create_op(t, h, r, f.fields, [&](std::string_view dir) { return create_keyed(f, h, dir, r); });
}
template <class R>
uint32_t keyed_get(const KeyedFamily<R> &f, const text::OpText &t, char **h, R *r) {
    return traced_read_op(t, h, [&](std::string_view dir) { return get_keyed(f, h, dir, r); });
}
template <class R>
uint32_t keyed_modify(const KeyedFamily<R> &f, const text::OpText &t, char **h, R *r) {
    return traced_write_op(t, h, [&](std::string_view dir) { return modify_keyed(f, h, dir, r); });
}
template <class R>
uint32_t keyed_delete(const KeyedFamily<R> &f, const text::OpText &t, char **h, R *r) {
    return traced_write_op(t, h, [&](std::string_view dir) { return delete_keyed(f, h, dir, r); });
}

// The count of a list, 0 when anything fails.
template <class L>
int32_t count_op(const text::OpText &t, char **h, L *l) {
    return guarded_count_op(h, [&](std::string_view dir) { return traced_list_count(t, dir, l); });
}

// A user's or group's operation op(handle, dir, record), traced as a reader or a writer, the entry line naming
// the record; a create under a CreateUndo.
template <class R>
using RecordOp = Rc (*)(char **, std::string_view, R *);
template <class R>
uint32_t record_read(const text::OpText &t, char **h, R *r, RecordOp<R> op) {
    return traced_read_op(t, h, r, [&](std::string_view dir) { return op(h, dir, r); });
}
template <class R>
uint32_t record_write(const text::OpText &t, char **h, R *r, RecordOp<R> op) {
    return traced_write_op(t, h, r, [&](std::string_view dir) { return op(h, dir, r); });
}
template <class R>
uint32_t record_create(const text::OpText &t, char **h, R *r, FieldsOf<R> fields, RecordOp<R> op) {
    return create_op(t, h, r, fields, [&](std::string_view dir) { return op(h, dir, r); }, r);
}

// A family kept in the user or group list: its listings by mode and filters, counts, the cursor and its lookups
// by UUID and registry id.
template <class R>
struct IndexedFamily {
    const format::Family<R> &of;
    uint32_t (*get_op)(char **, R *);  // the exported get, for fetch and the lookups
    IndexTexts messages;
    const char *not_enabled;  // the description a lookup gives a disabled entry
    // Users and groups have always differed here: the first UUID match decides for users and the last for
    // groups; a user line is disabled when it starts with "- -", a group line when its name part is "- -".
    bool last_uuid_wins;
    bool disabled_by_prefix;
    std::string_view index = of.list;
    char *R::*domain = of.domain;
    char *R::*id = of.id;
    Rc invalid = static_cast<Rc>(of.invalid);
};

// Sets the names from a list line's name part "domain id" and reads the record through the exported get;
// `invalid` when the part has no blank.
template <class R>
Rc read_named(const IndexedFamily<R> &f, char **handle, R *r, std::string_view name) {
    const std::size_t blank = name.find(' ');
    if (blank == std::string_view::npos) return f.invalid;
    if (!ok(set_str(r->*f.id, name.substr(blank + 1))) || !ok(set_str(r->*f.domain, name.substr(0, blank))))
        return Rc::NoMemory;
    return static_cast<Rc>(f.get_op(handle, r));
}

// The line whose text after its first double blank begins with uuid_string (lines whose name part has no blank
// are skipped).
template <class R>
Rc get_by_uuid(const IndexedFamily<R> &f, char **handle, std::string_view dir, R *r) {
    if (!r || !r->uuid_string) return f.invalid;
    // A copy: the get may replace the record's UUID string.
    const std::string uuid(r->uuid_string);
    IndexPieces lines;
    if (const Rc got = io::present(lines.open(dir, f.index, IndexKey::UuidPrefix, uuid), f.invalid); !ok(got))
        return got;
    Rc rc = f.invalid;
    std::string_view piece;
    while (lines.next_piece(piece)) {
        const std::size_t sep = piece.find(kIndexSep);
        if (sep == std::string_view::npos || !piece.substr(sep + kIndexSep.size()).starts_with(uuid)) continue;
        const std::string_view name = piece.substr(0, sep);
        if (name.find(' ') == std::string_view::npos) continue;
        rc = read_named(f, handle, r, name);
        if (rc == Rc::NoMemory || !f.last_uuid_wins) return rc;
    }
    return rc;
}

// The first line whose registry id equals registry_id ignoring case; a disabled one gives only the
// description, without reading anything.
template <class R>
Rc get_by_rgyid(const IndexedFamily<R> &f, char **handle, std::string_view dir, R *r) {
    if (!r || !r->registry_id) return f.invalid;
    const std::string_view wanted(r->registry_id);
    IndexPieces lines;
    if (const Rc got = io::present(lines.open(dir, f.index, IndexKey::RegistryId, wanted), f.invalid); !ok(got))
        return got;
    std::string_view piece;
    IndexLine l;
    while (lines.next_piece(piece)) {
        if (split_index_line(piece, l) != IndexSplit::Ok || !same_ignoring_case(l.registry_id, wanted)) continue;
        rspi_free(std::exchange(r->*f.id, nullptr));
        rspi_free(std::exchange(r->*f.domain, nullptr));
        if (f.disabled_by_prefix ? piece.starts_with(kIndexDisabled) : l.name == kIndexDisabled)
            return set_str(r->description, f.not_enabled);
        return read_named(f, handle, r, l.name);
    }
    return f.invalid;
}

// A registry-id entry stands for a disabled entry, which has no record file: only registry_id is set and fetch
// is ignored. A name entry gives the names.
template <class R, class L>
uint32_t indexed_step(const IndexedFamily<R> &f, const text::OpText &t, char **handle, L *list, R *r, int32_t fetch,
                      Move move) {
    return traced_read_op(t, handle, [&](std::string_view dir) {
        if (!list) return Rc::NoMoreEntries;
        if (!r) return f.invalid;
        const CursorResult at = cursor_move(dir, list_ref(list), move);
        if (!at.item) return at.rc;
        const rspi_list_item &item = *at.item;
        if (item.flag == kRegistryIdEntry) {
            rspi_free(std::exchange(r->*f.id, nullptr));
            rspi_free(std::exchange(r->*f.domain, nullptr));
            return set_str(r->registry_id, item.data ? item.data : "");
        }
        if (const Rc rc = ui_split_name_entry(item.data, r->*f.domain, r->*f.id); !ok(rc)) return rc;
        return fetch ? static_cast<Rc>(f.get_op(handle, r)) : Rc::Success;
    });
}

// The list operations of a family kept in the user or group list, each called from a one-line function in the
// family's file. A null list is 31 to list_add for users and groups alike (nothing is read or written).
template <class R, class L>
uint32_t indexed_list(const IndexedFamily<R> &f, const text::OpText &t, char **h, L *l, uint32_t mode,
                      const char *id_filter, const char *domain_filter, const char *registry_id_filter) {
    return traced_read_op(t, h, [&](std::string_view dir) {
        return l ? list_index(dir, f.index, list_ref(l), {mode, id_filter, domain_filter, registry_id_filter},
                              f.messages)
                 : f.invalid;
    });
}
template <class L>
uint32_t list_add(L *l, char **names, int32_t count) {
    return guarded([&] { return l ? list_add_names(list_ref(l), names, count) : Rc::InvalidGroup; });
}
template <class R>
uint32_t indexed_by_uuid(const IndexedFamily<R> &f, const text::OpText &t, char **h, R *r) {
    return traced_read_op(t, h, r ? r->uuid_string : nullptr,
                          [&](std::string_view dir) { return get_by_uuid(f, h, dir, r); });
}
template <class R>
uint32_t indexed_by_rgyid(const IndexedFamily<R> &f, const text::OpText &t, char **h, R *r) {
    return traced_read_op(t, h, r ? r->registry_id : nullptr,
                          [&](std::string_view dir) { return get_by_rgyid(f, h, dir, r); });
}

}  // namespace tolv
