// pam_tolv_acct.cpp - account: whether the registry user may sign in.
#include <syslog.h>

#include "pam_tolv.h"

namespace tolvpam {
namespace {

int account_pam(pam_handle_t *pamh, int argc, const char **argv) {
    Options o;
    if (!parse_options(pamh, argc, argv, o)) return PAM_SERVICE_ERR;
    RegistryUser u;
    if (const int rc = get_registry_user(pamh, o, u); rc != PAM_SUCCESS) return rc;
    bool valid = false;
    const uint32_t got = with_registry(
        pamh, o, [&](const Plugin &p, char **h) { return account_valid(p, h, u, valid); });
    if (got != RSPI_RC_SUCCESS) {
        pam_syslog(pamh, LOG_NOTICE, "account of %s refused: %s", u.text().c_str(), rc_reason(got));
        return pam_code(Phase::Account, got);
    }
    if (!valid) {
        pam_syslog(pamh, LOG_NOTICE, "account of %s refused: the account is not valid", u.text().c_str());
        return PAM_ACCT_EXPIRED;
    }
    if (o.debug) pam_syslog(pamh, LOG_DEBUG, "account of %s is valid", u.text().c_str());
    return PAM_SUCCESS;
}

}  // namespace
}  // namespace tolvpam

TOLV_PAM_EXPORT int pam_sm_acct_mgmt(pam_handle_t *pamh, int, int argc, const char **argv) {
    return tolvpam::guarded(pamh, [&] { return tolvpam::account_pam(pamh, argc, argv); });
}
