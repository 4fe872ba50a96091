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

// An operation's entry line, naming what the operation names: nothing, a lookup key, or a user's or group's
// domain and id. (t: a text::OpText.)
template <class T>
void trace_entry(const T &t) {
    TOLV_TRACE("%s", t.entry);
}
template <class T>
void trace_entry(const T &t, const char *key) {
    TOLV_TRACE(t.entry, nz(key));
}
template <class T>
void trace_entry(const T &t, const rspi_user *u) {
    TOLV_TRACE(t.entry, nz(u ? u->domain : nullptr), nz(u ? u->user_id : nullptr));
}
template <class T>
void trace_entry(const T &t, const rspi_group *g) {
    TOLV_TRACE(t.entry, nz(g ? g->domain : nullptr), nz(g ? g->group_id : nullptr));
}

// Writes an operation's entry line (see trace_entry), runs body, writes its exit line with the result.
template <class T, class F, class... K>
Rc traced(const T &t, F &&body, K... key) {
    trace_entry(t, key...);
    const Rc rc = body();
    TOLV_TRACE(t.exit, code(rc));
    return rc;
}

}  // namespace tolv
