// tolvinternal_families.h - the storage functions of each record family.
#pragma once

#include <memory>

#include "tolvinternal/tolvinternal_names.h"
#include "tolvinternal/tolvinternal_lists.h"
#include "tolvinternal/tolvinternal_indexes.h"
#include "tolvinternal/tolvinternal_blobs.h"
#include "tolvinternal/tolvinternal_fields.h"

namespace tolv {

// A host record the plug-in allocated for its own use, released with it.
template <class T>
using Owned = std::unique_ptr<T, void (*)(T *)>;

// Walks a list with an exported "next" operation (records not fetched), acting on each entry; the end of the
// list (5) is success, and the first failure of either ends the walk with it.
template <class L, class R, class Act>
Rc walk_list(char **handle, L *list, R *item, uint32_t (*next)(char **, L *, R *, int32_t), Act &&act) {
    uint32_t rc;
    while ((rc = next(handle, list, item, 0)) == RSPI_RC_SUCCESS)
        if ((rc = act(item)) != RSPI_RC_SUCCESS) break;
    return rc == RSPI_RC_NO_MORE_ENTRIES ? Rc::Success : static_cast<Rc>(rc);
}

// Lower-cases a record's two names; false, nothing done, when one is missing.
inline bool lower_given(char *domain, char *id) {
    if (!domain || !id) return false;
    ui_tolower(domain);
    ui_tolower(id);
    return true;
}

// A record of the plug-in's own, lent the caller's two names (handed back before it is released); empty
// without memory.
template <class R, R *(*Alloc)(), void (*Free)(R *), char *R::*Id>
struct TempRecord : Borrowing<R> {
    explicit TempRecord(const R *from) : Borrowing<R>(Alloc(), Free) {
        if (this->get()) this->lend_from(from, Id, &R::domain);
    }
    R *operator->() const { return this->get(); }
};
using TempUser = TempRecord<rspi_user, rspi_alloc_user, rspi_free_user, &rspi_user::user_id>;
using TempGroup = TempRecord<rspi_group, rspi_alloc_group, rspi_free_group, &rspi_group::group_id>;

// Users (tolvuser/tolvuser.cpp).
// 0 when user_id and domain are usable names (then lower-cased) and the user file opens; else 30.
Rc ui_validate_user(std::string_view dir, rspi_user *user);
// Writes the user list line, the user file (and blob), then the certificate-DN list, rewritten once and only
// when the DN differs from old_cert_dn (the stored one, for a modify). 30, nothing written, for a record that
// could not be stored as it is (an empty registry id or UUID, names that do not fit every user file and index
// line, texts or a password with a line break); 40, nothing written, when another user's list line holds its
// registry id or UUID (own_disabled: see ui_check_identity). With create a missing UUID is made first (6,
// nothing written, when it cannot be).
Rc ui_replace_user(std::string_view dir, rspi_user *user, bool create, const char *old_cert_dn = nullptr,
                   const char *own_disabled = nullptr);
// Reads the user file into the record (not user_id, domain, groups): 30 when it does not open, 9 for a short
// file (fields present are filled), 6 for a blob. Without with_password the stored password is left alone.
Rc ui_get_user(std::string_view dir, rspi_user *user, bool with_password = true);
// Whether enable may bring back the user stored at path with the caller's given fields: 0; 30 when modify
// would refuse the merged record; 40 when another user's list line holds its identity; or the read's failure.
// A missing uuid_string stands for the new UUID enable will make.
Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user);

// 0 when name is usable and its resource file opens; else 33. Lower-cases name.
Rc ui_validate_resource(std::string_view dir, char *name);

}  // namespace tolv
