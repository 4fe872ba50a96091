// tolvinternal_lists.cpp - the list rewriter and the sorted entry lists.
#include <algorithm>
#include <cstring>

#include "tolvinternal.h"

namespace tolv {

Rc detail::rewrite_list(const std::string &list_path, ListEnd (*edit)(ListEdit &, void *), void *ctx) {
    // A registry we cannot write to fails before anything is read.
    if (!io::journal(list_path)) return Rc::FileError;
    io::Bytes old;
    const io::Read r = io::read_file(list_path, old, true);
    // An unreadable list is not an empty one: keep it as it is.
    if (r == io::Read::Error) return Rc::FileError;
    ListEdit e{old.view(), ListOut(old.view())};
    switch (edit(e, ctx)) {
        case ListEnd::Replace:
            return io::write_file(list_path, [&](io::File &f) { return e.out.write_to(f); }) ? Rc::Success
                                                                                            : Rc::FileError;
        case ListEnd::Keep: return Rc::Success;
        case ListEnd::Remove: break;
    }
    if (r == io::Read::Ok && !io::remove_file(list_path) && errno != ENOENT) return Rc::FileError;
    return Rc::Success;
}

namespace {
// Calls f(at, end) for each piece [at, end) of data, as LineReader(data, n) cuts them, that begins with lead, in
// order, without visiting the others. data holds no NUL; lead is not empty.
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

// Drops every piece for which drop(piece) holds; 24 when none was dropped. Only a piece that begins with lead can
// be dropped.
template <class Drop>
Rc drop_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view lead, Drop drop) {
    bool found = false;
    const Rc rc = rewrite_list(make_path(dir, list_name), [&](ListEdit &e) {
        // Without a NUL the pieces give the bytes back unchanged, so only the dropped ones need finding.
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

// Adds new_entry in its sorted place (unless there) and drops every line that is old_entry (unless empty), in one
// rewrite.
Rc insert_sorted(std::string_view dir, std::string_view list_name, std::string_view old_entry,
                 std::string_view new_entry) {
    const std::string old_line = old_entry.empty() ? std::string() : std::string(old_entry) + '\n';
    const std::string new_line = std::string(new_entry) + '\n';
    return rewrite_list(make_path(dir, list_name), [&](ListEdit &e) {
        bool pending = true;
        LineReader lines(e.old, kListLineSize);
        std::string_view piece;
        while (lines.next_piece(piece)) {
            if (!old_line.empty() && piece == old_line) continue;
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
            // Placed, and nothing to drop: the rest goes back as it is.
            std::string_view rest;
            if (!pending && old_line.empty() && lines.take_rest(rest)) {
                e.out.append(rest);
                break;
            }
        }
        if (pending) e.out.append(new_line);
        return ListEnd::Replace;
    });
}
}  // namespace

Rc ui_add_to_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry) {
    return insert_sorted(dir, list_name, {}, entry);
}

Rc ui_replace_in_entrylist(std::string_view dir, std::string_view list_name, std::string_view old_entry,
                           std::string_view new_entry) {
    if (new_entry.empty()) {
        const Rc rc = old_entry.empty() ? Rc::Success : ui_remove_from_entrylist(dir, list_name, old_entry);
        return rc == Rc::NotInList ? Rc::Success : rc;
    }
    return insert_sorted(dir, list_name, old_entry, new_entry);
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

}  // namespace tolv
