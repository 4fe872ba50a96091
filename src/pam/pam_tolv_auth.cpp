// pam_tolv_auth.cpp - auth: the password against the registry.
#include <syslog.h>

#include "pam_tolv.h"

namespace tolvpam {
namespace {

// pam_unix's delay after a failed attempt, in microseconds.
constexpr unsigned kFailDelay = 2000000;

int authenticate_pam(pam_handle_t *pamh, int argc, const char **argv) {
    Options o;
    if (!parse_options(pamh, argc, argv, o)) return PAM_SERVICE_ERR;
    // Requested first, so that every failure waits alike, an unknown name too.
    if (!o.nodelay) pam_fail_delay(pamh, kFailDelay);
    const char *name = nullptr;
    int rc = pam_get_user(pamh, &name, nullptr);
    if (rc == PAM_CONV_AGAIN) return PAM_INCOMPLETE;
    if (rc != PAM_SUCCESS) return rc;
    // Asked for before the name is looked at, as pam_unix does: the prompt tells nothing.
    const char *password = nullptr;
    rc = pam_get_authtok(pamh, PAM_AUTHTOK, &password, nullptr);
    if (rc == PAM_CONV_AGAIN) return PAM_INCOMPLETE;
    if (rc != PAM_SUCCESS) return rc;
    RegistryUser u;
    if ((rc = get_registry_user(pamh, o, u)) != PAM_SUCCESS) return rc;
    // An empty password would match an entry stored without one.
    if (!password || !*password) {
        pam_syslog(pamh, LOG_NOTICE, "authentication failure for %s: empty password", u.text().c_str());
        return PAM_AUTH_ERR;
    }
    const uint32_t got = with_registry(
        pamh, o, [&](const Plugin &p, char **h) { return authenticate(p, h, u, password); });
    const int result = pam_code(Phase::Auth, got);
    if (result == PAM_SUCCESS) {
        if (o.debug) pam_syslog(pamh, LOG_DEBUG, "%s authenticated", u.text().c_str());
    } else {
        pam_syslog(pamh, LOG_NOTICE, "authentication failure for %s: %s", u.text().c_str(), rc_reason(got));
    }
    return result;
}

}  // namespace
}  // namespace tolvpam

TOLV_PAM_EXPORT int pam_sm_authenticate(pam_handle_t *pamh, int, int argc, const char **argv) {
    return tolvpam::guarded(pamh, [&] { return tolvpam::authenticate_pam(pamh, argc, argv); });
}

// The registry holds no credentials beyond the password.
TOLV_PAM_EXPORT int pam_sm_setcred(pam_handle_t *, int, int, const char **) { return PAM_SUCCESS; }
