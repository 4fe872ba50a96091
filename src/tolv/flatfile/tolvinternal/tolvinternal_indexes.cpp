// tolvinternal_indexes.cpp - the user and group lists: the wildcard filter, listings, lines,
// writers and the identity check.
#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {
// text (any case) against pattern (lower case) over the pattern's length.
bool equals_lower(std::string_view text, std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (ui_lower(text[i]) != pattern[i]) return false;
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

// A line of another entry than key's that holds uuid (exactly) or registry_id (ignoring case); an empty one of
// either identifies nothing. The disabled line with exactly the registry id own_disabled is key's own.
bool holds_identity(const IndexLine &l, std::string_view key, std::string_view uuid, std::string_view registry_id,
                    const char *own_disabled) {
    if (l.name == key || (own_disabled && l.name == kIndexDisabled && l.registry_id == own_disabled)) return false;
    return (!uuid.empty() && l.uuid == uuid) ||
           (!registry_id.empty() && same_ignoring_case(l.registry_id, registry_id));
}
}  // namespace

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
    io::Bytes data;
    // Only a missing index lists as empty; one that cannot be read is an error.
    if (const io::Read r = io::read_file(std::string(dir).append(index_name), data, true); r != io::Read::Ok)
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
        if (const IndexSplit split = split_index_line(piece, line); split != IndexSplit::Ok) {
            TOLV_TRACE(split == IndexSplit::NoUuid ? texts.no_uuid : texts.no_registry_id, std::string(piece).c_str());
            return Rc::Malformed;
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
    // Only the lines that hold either identity, when the lookups have a current copy of the list.
    IndexPieces lines;
    if (const io::Read r = lines.open(dir, index_name, IndexKey::Identity, uuid, registry_id, false); r != io::Read::Ok)
        return r == io::Read::Missing ? Rc::Success : Rc::FileError;
    std::string_view piece;
    IndexLine l;
    while (lines.next_piece(piece)) {
        if (split_index_line(piece, l) == IndexSplit::Ok && holds_identity(l, key, uuid, registry_id, own_disabled))
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
            if (taken && holds_identity(l, key, uuid, registry_id, own_disabled)) {
                *taken = true;
                return ListEnd::Keep;
            }
            // Only enabled lines order the index, and only over their name part's length (strncmp): a key that
            // extends a name part goes before it.
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

}  // namespace tolv
