// tolvinternal_host.h - host strings: copies made by the host library, borrowed pointers handed
// back.
#pragma once

#include <functional>
#include <vector>

#include "tolvinternal/tolvinternal_rc.h"

namespace tolv {

// Host strings and records.
// Replaces a host string field with a copy of v (the old one is released
// first). 3 when the copy cannot be allocated; the field is then null.
Rc set_str(char *&field, std::string_view v);
// A librspiutil copy of v, or null.
char *dup_str(std::string_view v);
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

// A record of the plug-in's own that holds pointers it does not own: the
// caller's key names for a lookup, the caller's changed fields for a modify.
// Each lent pointer is handed back (the field gets its earlier value) before
// the record is released, on every path: the plug-in never frees a borrowed
// string.
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
