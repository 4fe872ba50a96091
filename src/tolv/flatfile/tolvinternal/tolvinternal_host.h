// tolvinternal_host.h - host strings: copies made by the host library, borrowed pointers handed
// back.
#pragma once

#include <cstring>
#include <functional>
#include <vector>

#include "tolvinternal/tolvinternal_rc.h"

namespace tolv {

// A librspiutil copy of v, or null.
inline char *dup_str(std::string_view v) {
    auto *p = static_cast<char *>(rspi_alloc(v.size() + 1));
    if (!p) return nullptr;
    if (!v.empty()) std::memcpy(p, v.data(), v.size());
    p[v.size()] = '\0';
    return p;
}
// Replaces a host string field with a copy of v (the old one is released
// first). 3 when the copy cannot be allocated; the field is then null.
inline Rc set_str(char *&field, std::string_view v) {
    rspi_free(field);
    field = dup_str(v);
    return field ? Rc::Success : Rc::NoMemory;
}
// Runs fn at scope exit: hands borrowed pointers back on every path.
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ~ScopeExit() { f_(); }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;

private:
    F f_;
};

// A record of the plug-in's own holding pointers it does not own (the caller's key names for a lookup, changed
// fields for a modify): each lent pointer is handed back before the record is released, on every path, so the
// plug-in never frees a borrowed string.
template <class R>
class Borrowing {
public:
    Borrowing(R *record, void (*release)(R *)) : rec_(record), release_(release) {}
    ~Borrowing() {
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)();
        if (rec_) release_(rec_);
    }
    Borrowing(const Borrowing &) = delete;
    Borrowing &operator=(const Borrowing &) = delete;
    R *get() const { return rec_; }
    explicit operator bool() const { return rec_ != nullptr; }
    // Puts value in field until the end of the scope; a null value leaves
    // the field as it is.
    template <class T>
    void lend(T *R::*field, T *value) {
        if (!value) return;
        T *&slot = rec_->*field;
        undo_.push_back([&slot, old = slot] { slot = old; });
        slot = value;
    }
    // Lends the same fields of another record.
    template <class... T>
    void lend_from(const R *from, T *R::*...fields) {
        (lend(fields, from->*fields), ...);
    }

private:
    R *rec_;
    void (*release_)(R *);
    std::vector<std::function<void()>> undo_;
};

}  // namespace tolv
