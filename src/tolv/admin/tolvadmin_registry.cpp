// tolvadmin_registry.cpp - the registry as a whole: recovery of a pending journal.
#include "tolvadmin.h"
#include "tolvinternal.h"

namespace tolv::admin {

// A writing scope settles whatever journal it finds before its own changes; this one makes none.
uint32_t recover(char **handle) {
    return guarded_op(handle, [](std::string_view) { return Rc::Success; }, true);
}

}  // namespace tolv::admin
