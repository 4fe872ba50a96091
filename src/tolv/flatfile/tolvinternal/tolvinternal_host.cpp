// tolvinternal_host.cpp - host strings: copies made by the host library.
#include <cstring>

#include "tolvinternal.h"

namespace tolv {

// Host strings.

char *dup_str(std::string_view v) {
    auto *p = static_cast<char *>(rspi_alloc(v.size() + 1));
    if (!p) return nullptr;
    if (!v.empty()) std::memcpy(p, v.data(), v.size());
    p[v.size()] = '\0';
    return p;
}

Rc set_str(char *&field, std::string_view v) {
    rspi_free(field);
    field = dup_str(v);
    return field ? Rc::Success : Rc::NoMemory;
}

}  // namespace tolv
