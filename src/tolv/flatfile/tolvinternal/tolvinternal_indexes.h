// tolvinternal_indexes.h - the user and group lists: their lines, listings, writers and the
// identity check.
#pragma once

#include "tolvinternal/tolvinternal_cursor.h"
#include "tolvinternal/tolvinternal_lines.h"

namespace tolv {

// Item kinds of the user and group enumerations: a name entry holds "domain id", a registry-id entry the registry
// id of a disabled entry.
inline constexpr uint32_t kNameEntry = 1;
inline constexpr uint32_t kRegistryIdEntry = 2;
// Appends host-supplied names as name entries (rspi_userlist_add_user, rspi_grouplist_add_group). A list without
// entries is started afresh (kind 1). Count 0, a null array or a null name: 31; a negative count adds nothing (0);
// 3 when an item cannot be allocated (the entries before it stay).
Rc list_add_names(ListRef list, char *const *names, int32_t count);
// Lists an index whose lines are "domain id  uuid  registry_id", or "- -  uuid  registry_id" for a disabled entry
// (the user and group lists), by mode (0 all, 1 enabled, 2 disabled, 3+ by registry id only) and the three
// wildcard filters. The record is reset first (old items are not released). 9 stops at a line without its
// separators; 3 stops when memory runs out.
struct IndexFilters {
    uint32_t mode;
    const char *id;
    const char *domain;
    const char *registry_id;
};
struct IndexTexts {  // printf formats, one %s (names: two)
    const char *no_uuid;
    const char *no_registry_id;
    const char *no_id;
    const char *names;
    const char *registry_id;
};
Rc list_index(std::string_view dir, std::string_view index_name, ListRef list, const IndexFilters &filters,
              const IndexTexts &texts);
// One line of the user or group list, split at its first two double blanks.
struct IndexLine {
    std::string_view name;         // before the first double blank: "domain id" or "- -"
    std::string_view uuid;         // between the two
    std::string_view registry_id;  // after the second, without the newline
    std::string_view whole;        // the line without its newline
};
enum class IndexSplit { Ok, NoUuid, NoRegistryId };
// s.find(kIndexSep, from), for the long scans of the indexes.
std::size_t find_index_sep(std::string_view s, std::size_t from = 0);
// Splits a piece at its first double blank and the next one after it; out is filled only when both are there.
IndexSplit split_index_line(std::string_view piece, IndexLine &out);
inline constexpr std::string_view kIndexSep = "  ";
inline constexpr std::string_view kIndexDisabled = "- -";
// Identities are unique: 0 when no line of the user or group list but the entry's own holds registry_id (compared
// ignoring case, as the lookups do) or uuid (exactly; an empty one of either is not compared); else `taken`. The
// entry's own lines are those under its name key, and, when own_disabled is given, a disabled line with exactly
// that registry id (the one enable brings back). A missing list is empty; one that cannot be read gives 6.
Rc ui_check_identity(std::string_view dir, std::string_view index_name, std::string_view key, std::string_view uuid,
                     std::string_view registry_id, const char *own_disabled, Rc taken);
// The writers of the user and group lists, one line "name  uuid  registry_id" per entry ("- -" names a disabled
// one). 6 when the list cannot be rewritten.
std::string index_line(std::string_view name, std::string_view uuid, std::string_view registry_id);
// Puts key's enabled line before the first enabled line whose name part the key does not exceed over that part's
// length; drops this entry's older lines (same registry id or UUID; an empty one identifies nothing) and lines
// without both double blanks. With taken given, a line of another entry that holds either identity (as
// ui_check_identity) leaves the list as it is and sets *taken.
Rc index_add(std::string_view dir, std::string_view index_name, std::string_view key, std::string_view uuid,
             std::string_view registry_id, bool *taken = nullptr, const char *own_disabled = nullptr);
// Puts replacement (empty: nothing) in place of each line whose name part is key; drops a line without a double
// blank and writes every other line or piece back as it was.
Rc index_replace_named(std::string_view dir, std::string_view index_name, std::string_view key,
                       std::string_view replacement);
// A UUID text the index lines can hold: no double blank inside it and no blank at its end, which would merge with
// the separator after it.
inline bool storable_uuid(std::string_view uuid) {
    return uuid.find(kIndexSep) == std::string_view::npos && !uuid.ends_with(' ');
}
// Fills domain and id from a name entry "domain id" (split at its first blank), releasing the old strings: 9
// (traced as invalid listdata) without a blank, 3 when a copy fails.
Rc ui_split_name_entry(const char *data, char *&domain, char *&id);

}  // namespace tolv
