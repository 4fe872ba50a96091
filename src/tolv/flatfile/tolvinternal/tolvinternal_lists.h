// tolvinternal_lists.h - the one list rewriter, and the sorted entry lists (members, groups,
// credentials, the policy and resource lists).
#pragma once

#include "tolvinternal/tolvinternal_io.h"
#include "tolvinternal/tolvinternal_lines.h"
#include "tolvinternal/tolvinternal_names.h"

namespace tolv {

// Replace installs the new content, Remove leaves no list, Keep leaves the list as it was.
enum class ListEnd { Replace, Remove, Keep };
// The new content of a list, built from slices: bytes that lie in the old content are referred to where they are,
// anything else is copied aside. Neighbouring slices of the old content are joined, so a rewrite that keeps most
// of a list writes it back in a few large pieces without copying it.
class ListOut {
public:
    explicit ListOut(std::string_view old) : old_(old) {}
    void append(std::string_view text) {
        // Most often the old content's next bytes: the last slice grows.
        if (!slices_.empty()) {
            Slice &last = slices_.back();
            const std::size_t end = last.offset + last.length;
            if (!last.copied && text.data() == old_.data() + end && text.size() <= old_.size() - end) {
                last.length += text.size();
                size_ += text.size();
                return;
            }
        }
        add_slice(text);
    }
    // Appends text and a newline: one slice when the old content has the newline right after the text.
    void append_line(std::string_view text);
    std::size_t size() const { return size_; }
    // False when a write fails.
    bool write_to(io::File &file) const;

private:
    struct Slice {
        bool copied;  // in added_, else in old_
        std::size_t offset, length;
    };
    const char *base(const Slice &s) const { return (s.copied ? added_.data() : old_.data()) + s.offset; }
    void add_slice(std::string_view text);
    std::string_view old_;
    std::string added_;
    std::vector<Slice> slices_;
    std::size_t size_ = 0;
};
struct ListEdit {
    std::string_view old;  // old content ("" when missing)
    ListOut out;           // new content, built by the caller
};
namespace detail {
Rc rewrite_list(const std::string &list_path, ListEnd (*edit)(ListEdit &, void *), void *ctx);
}
// Every index is rewritten here: read the old list whole, let edit(ListEdit&) -> ListEnd build the new bytes,
// write "<list>_T" in one go and rename it over the list, so the old or the new list is always in place. Replace
// installs `out` (even when empty). 6 when the temporary file cannot be created, written or renamed; the old list
// is then untouched and no temporary file stays behind.
template <class F>
Rc rewrite_list(const std::string &list_path, F &&edit) {
    return detail::rewrite_list(
        list_path,
        [](ListEdit &e, void *ctx) -> ListEnd { return (*static_cast<std::remove_reference_t<F> *>(ctx))(e); },
        const_cast<void *>(static_cast<const void *>(&edit)));
}

// Entry lists: sorted, one entry per line, no duplicates, no file when empty. list_name is sanitised; the
// directory is prefixed.
Rc ui_add_to_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry);
Rc ui_remove_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view entry);
Rc ui_purge_from_entrylist(std::string_view dir, std::string_view list_name, std::string_view prefix);
// Drops old_entry (if there) and adds new_entry in one rewrite; an empty one is left out. 0, or 6/3 when the list
// cannot be rewritten.
Rc ui_replace_in_entrylist(std::string_view dir, std::string_view list_name, std::string_view old_entry,
                           std::string_view new_entry);

}  // namespace tolv
