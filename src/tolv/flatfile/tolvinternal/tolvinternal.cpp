// tolvinternal.cpp - storage primitives: names, record files, the list
// rewriter, entry lists, the cursor, blobs, UUIDs and login types.
#include "tolvinternal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <initializer_list>

#include "tolvdiag.h"

namespace tolv {

// ---------------------------------------------------------------------------
// File names.

namespace {
// Plain ASCII other than 'A'..'Z' is its own lower case in every locale; only
// the rest asks the locale.
inline char lower(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && (u < 'A' || u > 'Z')) return c;
    return static_cast<char>(::tolower(u));
}
}  // namespace

void ui_tolower(char *text) {
    if (!text) return;
    for (char *p = text; *p; ++p) *p = lower(*p);
}

void ui_tolower(std::string &text) {
    for (char &c : text) c = lower(c);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && lower(a[i]) != lower(b[i])) return false;
    return true;
}

namespace {
inline char sanitised(char c) { return format::name_char(c); }
}  // namespace

void ui_validate_filename(char *text) {
    if (!text) return;
    for (char *p = text; *p; ++p) *p = sanitised(*p);
}

namespace {
// Appends name with its ':', '/' and '\' turned into '-'.
void append_sanitised(std::string &path, std::string_view name) {
    const std::size_t from = path.size();
    path.append(name);
    // Local bounds: a char store could alias the string's own size and data.
    for (char *p = path.data() + from, *end = path.data() + path.size(); p != end; ++p) *p = sanitised(*p);
}
}  // namespace

std::string make_path(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + name.size());
    path.append(dir);
    append_sanitised(path, name);
    return path;
}

namespace {
std::string join_name(std::string_view dir, std::initializer_list<std::string_view> parts) {
    std::size_t n = dir.size();
    for (auto p : parts) n += p.size();
    std::string path;
    path.reserve(n);
    path.append(dir);
    for (auto p : parts) append_sanitised(path, p);
    return path;
}
std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t n = 0;
    for (auto p : parts) n += p.size();
    std::string s;
    s.reserve(n);
    for (auto p : parts) s.append(p);
    return s;
}
}  // namespace

std::string user_file(std::string_view dir, std::string_view domain, std::string_view user_id) {
    return join_name(dir, {domain, "_", user_id, format::kUserFile.suffix});
}
std::string disabled_user_file(std::string_view dir, std::string_view registry_id) {
    return join_name(dir, {registry_id, format::kDisabledUserSuffix});
}
std::string group_file(std::string_view dir, std::string_view domain, std::string_view group_id) {
    return join_name(dir, {domain, "_", group_id, format::kGroupFile.suffix});
}
std::string disabled_group_file(std::string_view dir, std::string_view registry_id) {
    return join_name(dir, {registry_id, format::kDisabledGroupSuffix});
}
std::string policy_file(std::string_view dir, std::string_view domain, std::string_view policy_id) {
    return join_name(dir, {domain, "_", policy_id, format::kPolicyFile.suffix});
}
std::string resource_file(std::string_view dir, std::string_view name) { return join_name(dir, {name, format::kResourceFile.suffix}); }
std::string resgroup_file(std::string_view dir, std::string_view name) { return join_name(dir, {name, format::kResgroupFile.suffix}); }
std::string rescreds_file(std::string_view dir, std::string_view domain, std::string_view user_id,
                          std::string_view name) {
    // Every ':' becomes '-' anyway; the first one is named for the record.
    return join_name(dir, {domain, "_", user_id, "_", name, format::kRescredsFile.suffix});
}
std::string blob_file(std::string_view record_path) {
    std::string p(record_path);
    p.append(kBlobSuffix);
    return p;
}
// List names stay as given: the entry-list functions sanitise them on use.
std::string my_groups_list(std::string_view domain, std::string_view user_id) {
    return concat({domain, "_", user_id, format::kMyGroupsSuffix});
}
std::string group_members_list(std::string_view domain, std::string_view group_id) {
    return concat({domain, "_", group_id, format::kMembersSuffix});
}
std::string resgroup_members_list(std::string_view name) { return concat({name, format::kRgMembersSuffix}); }
std::string rescreds_list(std::string_view domain, std::string_view user_id) {
    return concat({domain, "_", user_id, format::kMyResCredsSuffix});
}

// ---------------------------------------------------------------------------
// Record files.

bool RecordReader::next(std::string_view &line) {
    if (lines_.next_line(line)) return true;
    if (rc_ == Rc::Success) rc_ = Rc::Malformed;
    return false;
}

void RecordReader::key() {
    std::string_view l;
    if (next(l) && l.empty() && rc_ == Rc::Success) rc_ = Rc::Malformed;
}

void RecordReader::key(std::string_view expected) {
    std::string_view l;
    if (next(l) && (l.empty() || l != expected) && rc_ == Rc::Success) rc_ = Rc::Malformed;
}

void RecordReader::text(char *&field) {
    std::string_view l;
    if (next(l) && !ok(set_str(field, l))) rc_ = Rc::NoMemory;
}

RecordWriter &RecordWriter::text(const char *s) {
    if (s) out_.append(s);
    out_.push_back('\n');
    return *this;
}

RecordWriter &RecordWriter::text(std::string_view s) {
    out_.append(s);
    out_.push_back('\n');
    return *this;
}

RecordWriter &RecordWriter::u32(uint32_t v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
    out_.push_back('\n');
    return *this;
}

RecordWriter &RecordWriter::i32(int32_t v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
    out_.push_back('\n');
    return *this;
}

// ---------------------------------------------------------------------------
// The list rewriter.

Rc detail::rewrite_list(const std::string &list_path, ListEnd (*edit)(ListEdit &, void *), void *ctx) {
    std::string temp = list_path;
    temp.append(kTempSuffix);
    // The temporary file comes first: a registry we cannot write to fails
    // before anything is read or changed.
    if (!io::journal(list_path)) return Rc::FileError;
    io::File out = io::create(temp);
    if (!out.is_open()) return Rc::FileError;

    io::Bytes old;
    const io::Read r = io::read_file(list_path, old, true);
    if (r == io::Read::Error) {
        // An unreadable list is not an empty one: keep it as it is.
        out.close();
        io::remove_temp(temp);
        return Rc::FileError;
    }
    ListEdit e{old.view(), r == io::Read::Ok, ListOut(old.view())};
    const ListEnd end = edit(e, ctx);

    if (end == ListEnd::Replace) {
        const bool wrote = e.out.write_to(out) && out.sync();
        if (!out.close() || !wrote || !io::install_file(temp, list_path)) {
            io::remove_temp(temp);
            return Rc::FileError;
        }
        return Rc::Success;
    }
    out.close();
    io::remove_temp(temp);
    if (end == ListEnd::Keep) return Rc::Success;
    if (e.existed && !io::remove_file(list_path) && errno != ENOENT) return Rc::FileError;
    return Rc::Success;
}

// ---------------------------------------------------------------------------
// Entry lists.

namespace {

std::string list_path(std::string_view dir, std::string_view list_name) { return make_path(dir, list_name); }

// Calls f(at, end) for each piece [at, end) of data, as LineReader(data, n)
// cuts them, that begins with lead, in order, without visiting the others.
// data holds no NUL; lead is not empty.
template <class F>
void for_each_piece_starting_with(std::string_view data, int n, std::string_view lead, F &&f) {
    const std::size_t cap = n > 1 ? std::size_t(n - 1) : 1;
    const char *base = data.data();
    std::size_t line_start = 0;  // of the line holding `scanned`
    std::size_t scanned = 0;
    std::size_t from = 0;
    while (from < data.size()) {
        const void *hit = memmem(base + from, data.size() - from, lead.data(), lead.size());
        if (!hit) return;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char *>(hit) - base);
        if (const void *nl = memrchr(base + scanned, '\n', at - scanned))
            line_start = static_cast<std::size_t>(static_cast<const char *>(nl) - base) + 1;
        scanned = at;
        // Pieces start a line and follow each other every cap bytes within it.
        if ((at - line_start) % cap != 0) {
            from = at + 1;
            continue;
        }
        const std::size_t limit = std::min(at + cap, data.size());
        const void *nl = std::memchr(base + at, '\n', limit - at);
        const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - base) + 1 : limit;
        f(at, end);
        if (nl) line_start = end;
        scanned = from = end;
    }
}

// Drops every piece for which drop(piece) holds; 24 when none was dropped.
// Only a piece that begins with lead can be dropped.
template <class Drop>
Rc drop_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view lead, Drop drop) {
    bool found = false;
    const Rc rc = rewrite_list(list_path(dir, list_name), [&](ListEdit &e) {
        // Without a NUL the pieces give the bytes back unchanged, so only the
        // dropped ones need finding.
        if (!lead.empty() && !std::memchr(e.old.data(), '\0', e.old.size())) {
            std::size_t kept_from = 0;
            for_each_piece_starting_with(e.old, kListLineSize, lead, [&](std::size_t at, std::size_t end) {
                if (!drop(e.old.substr(at, end - at))) return;
                e.out.append(e.old.substr(kept_from, at - kept_from));
                kept_from = end;
                found = true;
            });
            e.out.append(e.old.substr(kept_from));
            return e.out.size() > 0 ? ListEnd::Replace : ListEnd::Remove;
        }
        std::size_t kept = 0;
        LineReader lines(e.old, kListLineSize);
        std::string_view piece;
        while (lines.next_piece(piece)) {
            if (drop(piece)) {
                found = true;
            } else {
                e.out.append(piece);
                ++kept;
            }
        }
        return kept > 0 ? ListEnd::Replace : ListEnd::Remove;
    });
    if (!ok(rc)) return rc;
    return found ? Rc::Success : Rc::NotInList;
}

}  // namespace

Rc ui_add_to_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry) {
    std::string line(entry);
    line.push_back('\n');
    return rewrite_list(list_path(dir, list_name), [&](ListEdit &e) {
        bool pending = true;
        LineReader lines(e.old, kListLineSize);
        std::string_view piece;
        while (lines.next_piece(piece)) {
            if (pending) {
                const int c = std::string_view(line).compare(piece);
                if (c == 0) {
                    pending = false;
                } else if (c < 0) {
                    e.out.append(line);
                    pending = false;
                }
            }
            e.out.append(piece);
            // Placed: the rest goes back as it is.
            std::string_view rest;
            if (!pending && lines.take_rest(rest)) {
                e.out.append(rest);
                break;
            }
        }
        if (pending) e.out.append(line);
        return ListEnd::Replace;
    });
}

Rc ui_replace_in_entrylist(std::string_view dir, std::string_view list_name, std::string_view old_entry,
                           std::string_view new_entry) {
    if (new_entry.empty()) {
        const Rc rc = old_entry.empty() ? Rc::Success : ui_remove_from_entrylist(dir, list_name, old_entry);
        return rc == Rc::NotInList ? Rc::Success : rc;
    }
    if (old_entry.empty()) return ui_add_to_entrylist(dir, list_name, new_entry);
    const std::string old_line = std::string(old_entry) + '\n', new_line = std::string(new_entry) + '\n';
    return rewrite_list(list_path(dir, list_name), [&](ListEdit &e) {
        bool pending = true;
        LineReader lines(e.old, kListLineSize);
        std::string_view piece;
        while (lines.next_piece(piece)) {
            if (piece == old_line) continue;
            if (pending) {
                const int c = std::string_view(new_line).compare(piece);
                if (c == 0) {
                    pending = false;
                } else if (c < 0) {
                    e.out.append(new_line);
                    pending = false;
                }
            }
            e.out.append(piece);
        }
        if (pending) e.out.append(new_line);
        return ListEnd::Replace;
    });
}

Rc ui_remove_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry) {
    std::string line(entry);
    line.push_back('\n');
    return drop_from_entrylist(dir, list_name, line, [&](std::string_view piece) { return piece == line; });
}

Rc ui_purge_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view prefix) {
    return drop_from_entrylist(dir, list_name, prefix,
                               [&](std::string_view piece) { return piece.substr(0, prefix.size()) == prefix; });
}

namespace {

// text (any case) against pattern (lower case) over the pattern's length.
bool equals_lower(std::string_view text, std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (lower(text[i]) != pattern[i]) return false;
    return true;
}

// A wildcard filter, lower-cased once and matched against many names.
class NameFilter {
public:
    explicit NameFilter(const char *filter) : any_(!filter) {
        if (any_) return;
        pattern_ = filter;
        ui_tolower(pattern_);
        const std::size_t first = pattern_.find('*');
        const std::size_t last = pattern_.rfind('*');
        const std::string_view f(pattern_);
        if (first == std::string::npos || first == last) {
            prefix_ = first == std::string::npos ? f : f.substr(0, first);
            suffix_ = first == std::string::npos ? std::string_view() : f.substr(first + 1);
        } else if (f.front() == '*' && f.back() == '*') {
            infix_ = f.substr(1, f.size() - 2);
            search_ = true;
        } else {
            none_ = true;
        }
    }
    NameFilter(const NameFilter &) = delete;
    NameFilter &operator=(const NameFilter &) = delete;

    bool matches(std::string_view name) const {
        if (any_) return true;
        if (none_) return false;
        if (search_) {
            std::string n(name);
            ui_tolower(n);
            return n.find(infix_) != std::string::npos;
        }
        return name.size() >= prefix_.size() + suffix_.size() && equals_lower(name, prefix_) &&
               equals_lower(name.substr(name.size() - suffix_.size()), suffix_);
    }

private:
    bool any_;
    bool none_ = false;
    bool search_ = false;
    std::string pattern_;
    std::string_view prefix_, suffix_, infix_;  // parts of pattern_
};

}  // namespace

int32_t ui_compare_filter(const char *filter, const char *name) {
    return NameFilter(filter).matches(name ? name : "");
}

// ---------------------------------------------------------------------------
// Enumeration list records.

void list_reset(ListRef list, uint32_t kind) {
    list.count = 0;
    list.kind = kind;
    list.first = list.previous = list.current = nullptr;
}

ListAppender::ListAppender(ListRef list) : list_(list), tail_(list.first) {
    if (tail_)
        while (tail_->next) tail_ = tail_->next;
}

Rc ListAppender::append(std::string_view text, uint32_t flag) {
    auto *item = static_cast<rspi_list_item *>(rspi_alloc(sizeof(rspi_list_item)));
    if (!item) return Rc::NoMemory;
    item->data = dup_str(text);
    if (!item->data) {
        rspi_free(item);
        return Rc::NoMemory;
    }
    item->flag = flag;
    item->prev = tail_;
    if (tail_)
        tail_->next = item;
    else
        list_.first = item;
    tail_ = item;
    ++list_.count;
    return Rc::Success;
}

Rc ui_get_entrylist(std::string_view dir, ListRef list) {
    list.count = 0;
    list.first = list.previous = list.current = nullptr;
    if (!list.file) return Rc::Success;
    ui_validate_filename(list.file);
    io::Bytes data;
    const io::Read r = io::read_file(make_path(dir, list.file), data, true);
    if (r == io::Read::Missing) return Rc::Success;
    if (r == io::Read::Error) return Rc::FileError;
    LineReader lines(data, kListLineSize);
    ListAppender items(list);
    std::string_view piece;
    while (lines.next_piece(piece)) {
        const Rc rc = items.append(piece.substr(0, piece.find('\n')), 0);
        if (!ok(rc)) return rc;
    }
    return Rc::Success;
}

Rc list_name_lazy(ListRef list, std::string_view file_name) {
    list.count = -1;
    return set_str(list.file, file_name);
}

CursorResult cursor_move(std::string_view dir, ListRef list, Move move) {
    CursorResult res;
    if (list.count < 0) {
        const Rc rc = ui_get_entrylist(dir, list);
        if (!ok(rc)) {
            res.rc = rc;
            res.load_failed = true;
            return res;
        }
    }
    if (list.count == 0) {
        res.rc = Rc::NoMoreEntries;
        return res;
    }
    switch (move) {
    case Move::First:
        list.previous = nullptr;
        list.current = list.first;
        break;
    case Move::Next:
        if (list.current) {
            list.previous = list.current;
            list.current = list.current->next;
        } else {
            list.previous = nullptr;
            list.current = list.first;
        }
        break;
    case Move::Previous:
        if (list.previous) {
            list.current = list.previous;
            list.previous = list.previous->prev;
        } else {
            list.current = nullptr;
        }
        break;
    }
    res.item = list.current;
    if (!res.item) res.rc = Rc::NoMoreEntries;
    return res;
}

int32_t list_count(std::string_view dir, ListRef list) {
    if (list.count >= 0) return list.count;
    if (!ok(ui_get_entrylist(dir, list))) list.count = 0;
    return list.count;
}

Rc list_add_names(ListRef list, char *const *names, int32_t count) {
    if (!list.first) list_reset(list, 1);
    if (count == 0 || (count > 0 && !names)) return Rc::InvalidGroup;
    if (count < 0) return Rc::Success;
    for (int32_t i = 0; i < count; ++i)
        if (!names[i]) return Rc::InvalidGroup;
    ListAppender items(list);
    for (int32_t i = 0; i < count; ++i)
        if (const Rc rc = items.append(names[i], kNameEntry); !ok(rc)) return rc;
    return Rc::Success;
}

Rc list_index(std::string_view dir, std::string_view index_name, ListRef list, const IndexFilters &filters,
              const IndexTexts &texts) {
    list_reset(list, filters.mode);
    std::string path(dir);
    path.append(index_name);
    io::Bytes data;
    // Only a missing index lists as empty; one that cannot be read is an error.
    if (const io::Read r = io::read_file(path, data, true); r != io::Read::Ok)
        return r == io::Read::Missing ? Rc::Success : Rc::FileError;

    const uint32_t mode = filters.mode;
    const NameFilter id_filter(filters.id), domain_filter(filters.domain), registry_id_filter(filters.registry_id);
    LineReader lines(data, kListLineSize);
    ListAppender items(list);
    std::string_view piece;
    const auto append = [&](std::string_view text, uint32_t flag) {
        const Rc rc = items.append(text, flag);
        if (ok(rc)) TOLV_TRACE("nextitem->data = %s\n", std::string(text).c_str());
        return rc;
    };
    while (lines.next_piece(piece)) {
        IndexLine line;
        switch (split_index_line(piece, line)) {
        case IndexSplit::NoUuid:
            TOLV_TRACE(texts.no_uuid, std::string(piece).c_str());
            return Rc::Malformed;
        case IndexSplit::NoRegistryId:
            TOLV_TRACE(texts.no_registry_id, std::string(piece).c_str());
            return Rc::Malformed;
        case IndexSplit::Ok:
            break;
        }
        const std::string_view name = line.name;
        const std::size_t blank = name.find(' ');
        if (blank == std::string_view::npos) {
            TOLV_TRACE(texts.no_id, std::string(name).c_str());
            return Rc::Malformed;
        }
        const std::string_view domain = name.substr(0, blank);
        const std::string_view id = name.substr(blank + 1);
        const bool enabled = domain != "-" && id != "-";

        if (enabled && mode <= 1) {
            TOLV_TRACE(texts.names, std::string(domain).c_str(), std::string(id).c_str());
            if (id_filter.matches(id) && domain_filter.matches(domain)) {
                if (const Rc rc = append(name, kNameEntry); !ok(rc)) return rc;
                continue;
            }
        }
        if ((mode == 1 && !enabled) || (mode == 2 && enabled)) continue;
        TOLV_TRACE(texts.registry_id, std::string(line.registry_id).c_str());
        if (!registry_id_filter.matches(line.registry_id)) continue;
        const Rc rc = enabled ? append(name, kNameEntry) : append(line.registry_id, kRegistryIdEntry);
        if (!ok(rc)) return rc;
    }
    return Rc::Success;
}

Rc ui_check_identity(std::string_view dir, std::string_view index_name, std::string_view key, std::string_view uuid,
                     std::string_view registry_id, const char *own_disabled, Rc taken) {
    io::Bytes data;
    if (const io::Read r = io::read_file(make_path(dir, index_name), data, true); r != io::Read::Ok)
        return r == io::Read::Missing ? Rc::Success : Rc::FileError;
    LineReader lines(data, kListLineSize);
    std::string_view piece;
    IndexLine l;
    while (lines.next_piece(piece)) {
        if (split_index_line(piece, l) != IndexSplit::Ok || l.name == key) continue;
        if (own_disabled && l.name == kIndexDisabled && l.registry_id == own_disabled) continue;
        if ((!uuid.empty() && l.uuid == uuid) ||
            (!registry_id.empty() && same_ignoring_case(l.registry_id, registry_id)))
            return taken;
    }
    return Rc::Success;
}

std::string index_line(std::string_view name, std::string_view uuid, std::string_view registry_id) {
    std::string line;
    line.reserve(name.size() + 2 * kIndexSep.size() + uuid.size() + registry_id.size() + 1);
    line.append(name).append(kIndexSep).append(uuid).append(kIndexSep).append(registry_id);
    line.push_back('\n');
    return line;
}

Rc index_add(std::string_view dir, std::string_view index_name, std::string_view key, std::string_view uuid,
             std::string_view registry_id, bool *taken, const char *own_disabled) {
    const std::string new_line = index_line(key, uuid, registry_id);
    return rewrite_list(make_path(dir, index_name), [&](ListEdit &e) {
        bool pending = true;
        LineReader lines(e.old, kListLineSize);
        std::string_view piece;
        IndexLine l;
        while (lines.next_piece(piece)) {
            if (split_index_line(piece, l) != IndexSplit::Ok) continue;
            if (taken && l.name != key &&
                !(own_disabled && l.name == kIndexDisabled && l.registry_id == own_disabled) &&
                ((!uuid.empty() && l.uuid == uuid) ||
                 (!registry_id.empty() && same_ignoring_case(l.registry_id, registry_id)))) {
                *taken = true;
                return ListEnd::Keep;
            }
            // Only enabled lines order the index, and only over their name
            // part's length (strncmp): a key that extends a name part goes
            // before it.
            if (pending && !piece.starts_with(kIndexDisabled) && key.substr(0, l.name.size()).compare(l.name) <= 0) {
                e.out.append(new_line);
                pending = false;
            }
            // This entry's older lines go; an empty field identifies nothing.
            if ((!registry_id.empty() && l.registry_id == registry_id) || (!uuid.empty() && l.uuid == uuid)) continue;
            e.out.append_line(l.whole);
        }
        if (pending) e.out.append(new_line);
        return ListEnd::Replace;
    });
}

Rc index_replace_named(std::string_view dir, std::string_view index_name, std::string_view key,
                       std::string_view replacement) {
    return rewrite_list(make_path(dir, index_name), [&](ListEdit &e) {
        LineReader lines(e.old, kListLineSize);
        std::string_view piece;
        while (lines.next_piece(piece)) {
            const std::size_t sep = find_index_sep(piece);
            if (sep == std::string_view::npos) continue;
            if (piece.substr(0, sep) != key)
                e.out.append(piece);
            else if (!replacement.empty())
                e.out.append(replacement);
        }
        return ListEnd::Replace;
    });
}

Rc ui_split_name_entry(const char *data, char *&domain, char *&id) {
    const std::string_view entry = data ? data : "";
    const std::size_t blank = entry.find(' ');
    if (!data || blank == std::string_view::npos) {
        TOLV_TRACE(text::kInvalidListdata, nz(data));
        return Rc::Malformed;
    }
    if (!ok(set_str(domain, entry.substr(0, blank)))) return Rc::NoMemory;
    return set_str(id, entry.substr(blank + 1));
}

// ---------------------------------------------------------------------------
// Host strings.

char *dup_str(std::string_view v) {
    auto *p = static_cast<char *>(rspi_alloc(v.size() + 1));
    if (!p) return nullptr;
    if (!v.empty()) std::memcpy(p, v.data(), v.size());
    p[v.size()] = '\0';
    return p;
}

Rc set_str(char *&field, std::string_view v) {
    rspi_free(field);
    field = dup_str(v);
    return field ? Rc::Success : Rc::NoMemory;
}

// ---------------------------------------------------------------------------
// Blobs, UUIDs and login types.

Rc ui_read_blob(const std::string &path, rspi_blob *blob) {
    if (!blob || (blob->length > 0 && !blob->data)) return Rc::FileError;
    std::size_t got = 0;
    if (io::read_prefix(path, blob->data, blob->length, got) != io::Read::Ok) return Rc::FileError;
    return got == blob->length ? Rc::Success : Rc::FileError;
}

Rc ui_load_blob(const std::string &record_path, long length, Rc parsed, rspi_blob *&blob) {
    rspi_free_blob(blob);
    blob = nullptr;
    if (length < 1 || parsed == Rc::NoMemory) return parsed;
    if (static_cast<unsigned long>(length) > UINT32_MAX) return Rc::Malformed;
    // The stored length is checked against the file before that much is allocated.
    const std::string path = blob_file(record_path);
    if (!io::size_at_least(path, static_cast<std::size_t>(length))) return Rc::FileError;
    rspi_blob *loaded = rspi_alloc_blob(static_cast<uint32_t>(length));
    if (!loaded) return Rc::NoMemory;
    const Rc rc = ui_read_blob(path, loaded);
    if (ok(rc))
        blob = loaded;
    else
        rspi_free_blob(loaded);
    return rc;
}

void ui_read_uuid(RecordReader &reader, unsigned char (&uuid)[16], char *&uuid_string) {
    std::string_view line;
    if (!reader.next(line)) return;
    if (!ok(set_str(uuid_string, line))) {
        reader.set_rc(Rc::NoMemory);
        return;
    }
    ui_uuid_value(uuid_string, uuid);
}

Rc ui_write_blob(const std::string &path, const rspi_blob *blob) {
    if (!blob || (blob->length > 0 && !blob->data)) return Rc::FileError;
    const std::string_view bytes(reinterpret_cast<const char *>(blob->data), blob->length);
    if (!io::write_file(path, bytes)) return Rc::FileError;
    return blob->length == 0 ? io::remove_if_there(path) : Rc::Success;
}

void ui_uuid_create(unsigned char (&uuid)[16], char *&uuid_string) {
    uint32_t status = 0;
    qz_uuid_create(uuid, &status);
    if (status != 0) {
        TOLV_TRACE("uuid_create failed: status = %8.8x\n", status);
        return;
    }
    char *text = nullptr;
    qz_uuid_to_string(uuid, &text, &status);
    if (status != 0) {
        TOLV_TRACE("uuid_to_string failed: status = %8.8x\n", status);
        return;
    }
    rspi_free(uuid_string);
    uuid_string = rspi_strdup(text);
    qz_uuid_string_free(&text, &status);
}

namespace {
// True when text is uuid's canonical lower-case form, which the UUID service
// could only parse back into uuid.
bool spells(const char *text, const unsigned char (&uuid)[16]) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char *p = text;
    for (int i = 0; i < 16; ++i) {
        if ((i == 4 || i == 6 || i == 8 || i == 10) && *p++ != '-') return false;
        if (*p++ != kHex[uuid[i] >> 4] || *p++ != kHex[uuid[i] & 15]) return false;
    }
    return *p == '\0';
}
}  // namespace

void ui_uuid_value(const char *text, unsigned char (&uuid)[16]) {
    // A record read again keeps its UUID: nothing to parse.
    if (text && spells(text, uuid)) return;
    uint32_t status = 0;
    qz_uuid_from_string(text, uuid, &status);
    if (status != 0) TOLV_TRACE("uuid_from_string failed: status = %8.8x\n", status);
}

std::string ui_logintypes_string(const rspi_logintypes *types, std::string_view sep, std::size_t size) {
    std::string out;
    if (!types || size == 0) return out;
    long long budget = static_cast<long long>(size) - 1;
    for (int32_t i = 0; i < types->count; ++i) {
        budget -= static_cast<long long>(sep.size());
        const char *t = types->types[i] ? types->types[i] : "";
        const long long len = static_cast<long long>(std::strlen(t));
        if (len < budget) {
            if (i > 0) out.append(sep);
            out.append(t);
            budget -= len;
        }
    }
    return out;
}

rspi_logintypes *ui_logintypes_data(std::string_view text, std::string_view sep) {
    if (text.empty() || sep.empty()) return nullptr;
    int32_t count = 1;
    for (std::size_t p = text.find(sep); p != std::string_view::npos; p = text.find(sep, p + sep.size())) ++count;
    rspi_logintypes *types = rspi_alloc_logintypes(count);
    if (!types) return nullptr;
    std::size_t start = 0;
    for (int32_t i = 0; i < count; ++i) {
        const std::size_t end = i + 1 < count ? text.find(sep, start) : text.size();
        types->types[i] = dup_str(text.substr(start, end - start));
        if (!types->types[i]) break;
        start = end + sep.size();
    }
    return types;
}

}  // namespace tolv
