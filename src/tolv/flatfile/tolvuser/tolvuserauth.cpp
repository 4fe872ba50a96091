// tolvuserauth.cpp - authentication, change of password, and finding a user by certificate DN.
#include <cstring>

#include "tolvdiag.h"
#include "tolvinternal.h"

namespace tolv {

namespace {

// The supplied bytes against a stored password: by length, never as C strings.
bool same_password(const rspi_authndata *given, std::string_view stored) {
    if (given->length != stored.size()) return false;
    if (stored.empty()) return true;
    return given->data && std::memcmp(given->data, stored.data(), stored.size()) == 0;
}

Rc authenticate_user(std::string_view dir, rspi_user *user, const rspi_authndata *authn) {
    if (!user || !authn || !lower_given(user->domain, user->user_id)) return Rc::InvalidUser;
    io::Bytes data;
    if (const Rc got = io::present(io::read_file(user_file(dir, user->domain, user->user_id), data), Rc::InvalidUser);
        !ok(got))
        return got;
    // Lines 4 and 5: the account-valid flag and the password.
    LineReader lines(data, kRecordLineSize);
    std::string_view line;
    int32_t account_valid = 0;
    for (int n = 1; n <= 4; ++n) {
        if (!lines.next_line(line)) return Rc::Malformed;
        if (n == 4) account_valid = static_cast<int32_t>(parse_long(line));
    }
    std::string_view stored;
    if (!lines.next_line(stored)) return Rc::Malformed;

    // A wrong password outranks a disabled account, which outranks the type.
    if (!same_password(authn, stored)) return Rc::AuthnFailed;
    if (account_valid != 1) return Rc::AccountDisabled;
    if (authn->type != 1) return Rc::AuthnTypeUnsupported;
    return Rc::Success;
}

Rc change_authndata(std::string_view dir, rspi_user *user, rspi_authndata *old_authn, rspi_authndata *new_authn) {
    if (!user || !user->user_id || !user->domain || !old_authn || !new_authn) return Rc::InvalidUser;
    TempUser w(user);
    if (!w) return Rc::NoMemory;
    if (const Rc rc = ui_get_user(dir, w.get()); !ok(rc)) return rc;
    const rspi_authndata *stored = w->password;
    if (!stored || !same_password(old_authn, std::string_view(stored->data ? stored->data : "", stored->length)))
        return Rc::AuthnFailed;
    if (old_authn->type != 1 || new_authn->type != 1) return Rc::AuthnTypeUnsupported;
    w.lend(&rspi_user::password, new_authn);
    return ui_replace_user(dir, w.get(), false);
}

Rc get_user_by_certdn(char **handle, std::string_view dir, rspi_user *user) {
    if (!user || !user->cert_dn) return Rc::InvalidUser;
    // The entries are taken straight from the list's bytes as loading it would give them: one per piece, cut at
    // its newline.
    const std::string_view cert_dn(user->cert_dn);
    IndexPieces lines;
    const io::Read r = lines.open(dir, kCertDnList, IndexKey::CertDn, cert_dn);
    if (r == io::Read::Missing) return Rc::InvalidUser;
    if (r == io::Read::Error) return Rc::FileError;
    std::string_view piece;
    while (lines.next_piece(piece)) {
        const std::string_view entry = chomp(piece);
        const std::size_t b1 = entry.find(' ');
        if (b1 == std::string_view::npos) continue;
        const std::size_t b2 = entry.find(' ', b1 + 1);
        if (b2 == std::string_view::npos || entry.substr(b2 + 1) != cert_dn) continue;
        if (!ok(set_str(user->user_id, entry.substr(b1 + 1, b2 - b1 - 1))) ||
            !ok(set_str(user->domain, entry.substr(0, b1))))
            return Rc::NoMemory;
        return Rc{rspi_get_user(handle, user)};
    }
    return Rc::InvalidUser;
}

}  // namespace

}  // namespace tolv

using namespace tolv;

TOLV_EXPORT uint32_t rspi_authenticate_user(char **handle, rspi_user *user, rspi_authndata *authn) {
    return tolv::traced_read_op(tolv::text::authenticate_user, handle, user,
                                [&](std::string_view dir) { return authenticate_user(dir, user, authn); });
}

TOLV_EXPORT uint32_t rspi_change_authndata(char **handle, rspi_user *user, rspi_authndata *old_authn,
                                           rspi_authndata *new_authn) {
    return tolv::traced_write_op(tolv::text::change_authndata, handle, user, [&](std::string_view dir) {
        return change_authndata(dir, user, old_authn, new_authn);
    });
}

TOLV_EXPORT uint32_t rspi_get_user_by_certdn(char **handle, rspi_user *user) {
    return tolv::traced_read_op(tolv::text::get_user_by_certdn, handle, user ? user->cert_dn : nullptr,
                                [&](std::string_view dir) { return get_user_by_certdn(handle, dir, user); });
}
