// tolvinternal_host.h - host strings: copies made by the host library, borrowed pointers handed
// back.
#pragma once

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

}  // namespace tolv
