// tolvinternal_cursor.cpp - the host's list records and the cursor every enumeration shares.
#include "tolvinternal.h"

namespace tolv {

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
    list_reset(list, list.kind);
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
    if (const Rc rc = list.count < 0 ? ui_get_entrylist(dir, list) : Rc::Success; !ok(rc)) return {rc, true};
    if (list.count == 0) return {Rc::NoMoreEntries};
    // Previous before the first item ends the walk; next before any item is first.
    if (move == Move::Previous) {
        list.current = list.previous;
        if (list.previous) list.previous = list.previous->prev;
    } else if (move == Move::Next && list.current) {
        list.previous = list.current;
        list.current = list.current->next;
    } else {
        list.previous = nullptr;
        list.current = list.first;
    }
    return {list.current ? Rc::Success : Rc::NoMoreEntries, false, list.current};
}

int32_t list_count(std::string_view dir, ListRef list) {
    if (list.count >= 0) return list.count;
    if (!ok(ui_get_entrylist(dir, list))) list.count = 0;
    return list.count;
}

}  // namespace tolv
