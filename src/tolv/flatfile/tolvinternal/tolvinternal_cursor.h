// tolvinternal_cursor.h - the host's list records and the cursor every enumeration shares.
#pragma once

#include "tolvinternal/tolvinternal_trace.h"
#include "tolvinternal/tolvinternal_lists.h"

namespace tolv {

// The six host list types share one layout; ListRef gives the generic code a view of any of them.
struct ListRef {
    uint32_t &kind;
    int32_t &count;
    char *&file;
    rspi_list_item *&first;
    rspi_list_item *&previous;
    rspi_list_item *&current;
};
template <class L>
ListRef list_ref(L *l) {
    return ListRef{l->kind, l->count, l->file, l->first, l->previous, l->current};
}

// Loads list.file into the record (count, first, cursor reset; kind untouched; items already there are not
// released). Missing file: empty, 0; unreadable: 6. 3 when an item or text cannot be allocated; items so far stay.
Rc ui_get_entrylist(std::string_view dir, ListRef list);
// Appends items at the tail of a list (text copied), finding the tail once.
class ListAppender {
public:
    explicit ListAppender(ListRef list);
    // 3 when the item or its text cannot be allocated; nothing is appended then.
    Rc append(std::string_view text, uint32_t flag);

private:
    ListRef list_;
    rspi_list_item *tail_;
};
// Resets a record for a new listing without releasing old items.
void list_reset(ListRef list, uint32_t kind);
// Names a lazy list: file = copy of name, count = -1. 3 when the copy fails.
Rc list_name_lazy(ListRef list, std::string_view file_name);

enum class Move { First, Next, Previous };
struct CursorResult {
    Rc rc = Rc::Success;         // 0 with item set; else 5, or the load failure
    bool load_failed = false;     // true when rc comes from loading the list
    rspi_list_item *item = nullptr;
};
// The cursor shared by every enumeration: null record -> 5; count < 0 loads it (a failure is returned with
// load_failed); count 0 -> 5; then moves.
CursorResult cursor_move(std::string_view dir, ListRef list, Move move);
// count operation: count if >= 0, else load (failure -> count 0, returns 0).
int32_t list_count(std::string_view dir, ListRef list);

// A traced count operation (a null list counts 0).
template <class Texts, class List>
int32_t traced_list_count(const Texts &t, std::string_view dir, List *list) {
    TOLV_TRACE("%s", t.entry);
    return list ? list_count(dir, list_ref(list)) : 0;
}

}  // namespace tolv
