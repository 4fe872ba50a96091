// tolvuser.cpp - creating, fetching and modifying users.
#include <optional>

#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

Rc create_user(std::string_view dir, rspi_user *user) {
    if (!user || !usable_name(user->user_id) || !usable_name(user->domain) ||
        !user_names_fit(user->domain, user->user_id))
        return Rc::InvalidUser;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    // Only the user file decides: a disabled user or a stray list line
    // with the same registry id does not stop a new user. A user file
    // that exists but cannot be read is never overwritten.
    if (const Rc rc = io::absent(io::probe(user_file(dir, user->domain, user->user_id)), Rc::UserExists); !ok(rc))
        return rc;
    return ui_replace_user(dir, user, true);
}

Rc get_user(std::string_view dir, rspi_user *user) {
    Rc rc = Rc::InvalidUser;
    if (user) {
        // The stored password never reaches the host: it is not even read
        // into the record, whose password stays the caller's.
        rc = ui_get_user(dir, user, false);

        // The user's groups, loaded on first use; attached whatever the read
        // gave. The read has lower-cased the names.
        if (user->user_id && user->domain) {
            rspi_free_grouplist(user->groups);
            user->groups = rspi_alloc_grouplist();
            const Rc lrc = user->groups ? list_name_lazy(list_ref(user->groups),
                                                         my_groups_list(user->domain, user->user_id))
                                        : Rc::NoMemory;
            if (!ok(lrc) && ok(rc)) rc = lrc;
        }
    }
    return rc;
}

// The fields a temporary record owns after reading the stored user; they are
// lent out to the caller's values during a merge and put back before release.
struct OwnedFields {
    char *uuid_string, *description, *text_1, *text_2, *text_3, *registry_id, *text_4, *cert_dn, *text_5;
    rspi_authndata *password;
    rspi_logintypes *login_types;
    rspi_blob *blob;

    explicit OwnedFields(const rspi_user *u)
        : uuid_string(u->uuid_string), description(u->description), text_1(u->text_1), text_2(u->text_2),
          text_3(u->text_3), registry_id(u->registry_id), text_4(u->text_4), cert_dn(u->cert_dn),
          text_5(u->text_5), password(u->password), login_types(u->login_types), blob(u->blob) {}
    void restore(rspi_user *u) const {
        u->uuid_string = uuid_string;
        u->description = description;
        u->text_1 = text_1;
        u->text_2 = text_2;
        u->text_3 = text_3;
        u->registry_id = registry_id;
        u->text_4 = text_4;
        u->cert_dn = cert_dn;
        u->text_5 = text_5;
        u->password = password;
        u->login_types = login_types;
        u->blob = blob;
    }
};

// Overlays the fields the caller gives onto the stored ones (pointers are lent).
void merge_given(rspi_user *into, const rspi_user *from) {
    auto lend = [](auto *&field, auto *given) {
        if (given) field = given;
    };
    lend(into->uuid_string, from->uuid_string);
    lend(into->description, from->description);
    lend(into->password, from->password);
    lend(into->login_types, from->login_types);
    lend(into->text_1, from->text_1);
    lend(into->text_2, from->text_2);
    lend(into->text_3, from->text_3);
    lend(into->registry_id, from->registry_id);
    lend(into->text_4, from->text_4);
    lend(into->cert_dn, from->cert_dn);
    lend(into->text_5, from->text_5);
    lend(into->blob, from->blob);
    if (from->number_1 != 0) into->number_1 = from->number_1;
    if (from->ulong_1 != 0) into->ulong_1 = from->ulong_1;
    if (from->ulong_2 != 0) into->ulong_2 = from->ulong_2;
    if (from->ulong_3 != 0) into->ulong_3 = from->ulong_3;
    if (from->flag_1 != 2) into->flag_1 = from->flag_1;
    if (from->account_valid != 2) into->account_valid = from->account_valid;
    if (from->number_2 != -1) into->number_2 = from->number_2;
}

// The stored user under the caller's names with the caller's given fields
// laid over it: a temporary record that borrows the caller's names and
// pointers and hands every one back before it is released.
class MergedUser {
public:
    explicit MergedUser(rspi_user *caller) : caller_(caller), tmp_(rspi_alloc_user()) {
        if (!tmp_) return;
        tmp_->user_id = caller->user_id;
        tmp_->domain = caller->domain;
    }
    ~MergedUser() {
        if (!tmp_) return;
        if (stored_) stored_->restore(tmp_);
        tmp_->user_id = nullptr;
        tmp_->domain = nullptr;
        rspi_free_user(tmp_);
    }
    MergedUser(const MergedUser &) = delete;
    MergedUser &operator=(const MergedUser &) = delete;
    // Reads the stored user with read(tmp) and merges: 3 without memory, or the read's failure.
    template <class Read>
    Rc load(Read &&read) {
        if (!tmp_) return Rc::NoMemory;
        if (const Rc rc = read(tmp_); !ok(rc)) return rc;
        stored_.emplace(tmp_);
        merge_given(tmp_, caller_);
        return Rc::Success;
    }
    rspi_user *get() const { return tmp_; }
    const OwnedFields &stored() const { return *stored_; }

private:
    rspi_user *caller_;
    rspi_user *tmp_;
    std::optional<OwnedFields> stored_;
};

Rc modify_user(std::string_view dir, rspi_user *user) {
    MergedUser merged(user);
    if (const Rc rc = merged.load([&](rspi_user *tmp) { return ui_get_user(dir, tmp); }); !ok(rc)) return rc;
    return ui_replace_user(dir, merged.get(), false, merged.stored().cert_dn);
}

}  // namespace

Rc ui_check_user_enable(std::string_view dir, const std::string &path, rspi_user *user) {
    MergedUser merged(user);
    // The blob stays under the enabled name while the user is disabled.
    if (const Rc rc = merged.load([&](rspi_user *tmp) { return ui_read_user(path, tmp, true, false); }); !ok(rc))
        return rc;
    rspi_user *const tmp = merged.get();
    // The UUID enable will make: any valid text stands in for it.
    static constexpr char kNewUuid[] = "00000000-0000-0000-0000-000000000000";
    const char *uuid = user->uuid_string ? user->uuid_string : kNewUuid;
    if (const Rc rc = ui_check_user(tmp, uuid); !ok(rc)) return rc;
    return ui_check_user_identity(dir, tmp, user->uuid_string, user->registry_id);
}

namespace {

Rc modify_user_traced(std::string_view dir, rspi_user *user) {
    return traced(text::modify_user, user,
                  [&] { return user && user->user_id && user->domain ? modify_user(dir, user) : Rc::InvalidUser; });
}

}  // namespace

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_user(char **handle, rspi_user *user) {
    return tolv::guarded_write_op(handle, [&](std::string_view dir) {
        return tolv::traced(tolv::text::create_user, user, [&] { return tolv::create_user(dir, user); });
    });
}

TOLV_EXPORT uint32_t rspi_get_user(char **handle, rspi_user *user) {
    return tolv::guarded_op(handle, [&](std::string_view dir) {
        return tolv::traced(tolv::text::get_user, user, [&] { return tolv::get_user(dir, user); });
    });
}

TOLV_EXPORT uint32_t rspi_modify_user(char **handle, rspi_user *user) {
    return tolv::guarded_write_op(handle,
                                  [&](std::string_view dir) { return tolv::modify_user_traced(dir, user); });
}
