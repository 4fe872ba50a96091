// tolvinternal_trace.h - diagnostics: the trace lines and the traced-operation helper.
#pragma once

#include "tolvinternal/tolvinternal_rc.h"

namespace tolv {

// Writes onto debugOutput (nothing while it is null) and flushes; callers test `verbose` first, as TOLV_TRACE does.
void ui_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
#define TOLV_TRACE(...)                            \
    do {                                           \
        if (::verbose) ::tolv::ui_printf(__VA_ARGS__); \
    } while (0)
// A printable stand-in for a null name in a diagnostic.
inline const char *nz(const char *s) { return s ? s : "(null)"; }

// Writes an operation's entry line, runs body, writes its exit line with the result. The entry line takes what the
// operation names: nothing, a lookup key, or a user's or group's domain and id. (t: a text::OpText.)
template <class T, class F, class... A>
Rc traced_with(const T &t, F &&body, A... entry_args) {
    if constexpr (sizeof...(A) == 0)
        TOLV_TRACE("%s", t.entry);
    else
        TOLV_TRACE(t.entry, entry_args...);
    const Rc rc = body();
    TOLV_TRACE(t.exit, code(rc));
    return rc;
}
template <class T, class F>
Rc traced(const T &t, F &&body) {
    return traced_with(t, body);
}
template <class T, class F>
Rc traced(const T &t, const char *key, F &&body) {
    return traced_with(t, body, nz(key));
}
template <class T, class F>
Rc traced(const T &t, const rspi_user *u, F &&body) {
    return traced_with(t, body, nz(u ? u->domain : nullptr), nz(u ? u->user_id : nullptr));
}
template <class T, class F>
Rc traced(const T &t, const rspi_group *g, F &&body) {
    return traced_with(t, body, nz(g ? g->domain : nullptr), nz(g ? g->group_id : nullptr));
}

}  // namespace tolv
