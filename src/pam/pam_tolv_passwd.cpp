// pam_tolv_passwd.cpp - password: the change of a registry user's password.
#include <syslog.h>

#include <cstring>

#include "pam_tolv.h"

namespace tolvpam {
namespace {

// The registry keeps at most 99 bytes of a password; a longer one would be stored as none.
constexpr std::size_t kMaxPassword = 99;

// What tolvadm refuses too, and a line break, which would break the user's file.
const char *refusal(std::string_view password) {
    if (password.empty()) return "the new password is empty";
    if (password.size() > kMaxPassword) return "the new password is longer than 99 bytes";
    if (password.find_first_of("\r\n") != std::string_view::npos) return "the new password holds a line break";
    return nullptr;
}

int old_password(pam_handle_t *pamh, const char *&old) {
    const void *item = nullptr;
    if (pam_get_item(pamh, PAM_OLDAUTHTOK, &item) == PAM_SUCCESS && item) {
        old = static_cast<const char *>(item);
        return PAM_SUCCESS;
    }
    const int rc = pam_get_authtok(pamh, PAM_OLDAUTHTOK, &old, nullptr);
    return rc == PAM_CONV_AGAIN ? PAM_INCOMPLETE : rc;
}

int chauthtok_pam(pam_handle_t *pamh, int flags, int argc, const char **argv) {
    Options o;
    if (!parse_options(pamh, argc, argv, o)) return PAM_SERVICE_ERR;
    RegistryUser u;
    if (const int rc = get_registry_user(pamh, o, u); rc != PAM_SUCCESS) return rc;
    const char *old = nullptr;
    if (const int rc = old_password(pamh, old); rc != PAM_SUCCESS) return rc;
    if (!old || !*old) {
        pam_syslog(pamh, LOG_NOTICE, "password change for %s refused: empty current password", u.text().c_str());
        return PAM_AUTH_ERR;
    }

    // The registry changes a password only against the old one, so the first
    // pass checks it (the account must be valid, as for signing in).
    if (flags & PAM_PRELIM_CHECK) {
        const uint32_t got =
            with_registry(pamh, o, [&](const Plugin &p, char **h) { return authenticate(p, h, u, old); });
        if (got != RSPI_RC_SUCCESS) {
            pam_syslog(pamh, LOG_NOTICE, "password change for %s refused: %s", u.text().c_str(), rc_reason(got));
            return pam_code(Phase::Password, got);
        }
        if (o.debug) pam_syslog(pamh, LOG_DEBUG, "current password of %s checked", u.text().c_str());
        return PAM_SUCCESS;
    }
    if (!(flags & PAM_UPDATE_AUTHTOK)) return PAM_SERVICE_ERR;

    const char *fresh = nullptr;
    int rc = pam_get_authtok(pamh, PAM_AUTHTOK, &fresh, nullptr);
    if (rc == PAM_CONV_AGAIN) return PAM_INCOMPLETE;
    if (rc != PAM_SUCCESS) {
        pam_syslog(pamh, LOG_NOTICE, "password change for %s: no new password (%s)", u.text().c_str(),
                   pam_strerror(pamh, rc));
        return rc;
    }
    if (const char *why = refusal(fresh ? fresh : "")) {
        pam_syslog(pamh, LOG_NOTICE, "password change for %s refused: %s", u.text().c_str(), why);
        if (!(flags & PAM_SILENT)) pam_error(pamh, "%s.", why);
        pam_set_item(pamh, PAM_AUTHTOK, nullptr);  // a retry asks again
        return PAM_AUTHTOK_ERR;
    }
    const uint32_t got = with_registry(
        pamh, o, [&](const Plugin &p, char **h) { return change_password(p, h, u, old, fresh); });
    if (got != RSPI_RC_SUCCESS) {
        pam_syslog(pamh, LOG_NOTICE, "password change for %s failed: %s", u.text().c_str(), rc_reason(got));
        return pam_code(Phase::Password, got);
    }
    pam_syslog(pamh, LOG_NOTICE, "password of %s changed", u.text().c_str());
    return PAM_SUCCESS;
}

}  // namespace
}  // namespace tolvpam

TOLV_PAM_EXPORT int pam_sm_chauthtok(pam_handle_t *pamh, int flags, int argc, const char **argv) {
    return tolvpam::guarded(pamh, [&] { return tolvpam::chauthtok_pam(pamh, flags, argc, argv); });
}
