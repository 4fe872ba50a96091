// pam_tolv_common.cpp - module arguments, PAM names as registry users, return
// codes, and the guard around every entry point.
#include <syslog.h>

#include <cstring>
#include <memory>
#include <new>

#include "pam_tolv.h"
#include "tolv.h"

namespace tolvpam {

namespace {

// The longest domain plus user id a registry can hold: its user-list line
// ("domain user  uuid  registry-id", 248 bytes at most) needs 42 more bytes
// for the separators, a 36-byte UUID and a registry id of at least one byte.
constexpr std::size_t kMaxNames = 206;

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// A user id or domain the registry keeps under exactly this name.
bool check_key(std::string_view key, const char *what, std::string &why) {
    if (key.empty()) {
        why = std::string("the ") + what + " is empty";
        return false;
    }
    for (const char c : key) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f || b == ' ') {
            why = std::string("the ") + what + " holds a blank or a control character";
            return false;
        }
        // The registry lower-cases keys and turns these into '-' in file
        // names: such a name would reach another user's entry.
        if ((b >= 'A' && b <= 'Z') || b == ':' || b == '/' || b == '\\') {
            why = std::string("the ") + what + " holds '" + c +
                  "', which the registry would read as another name (keys are lower-case; ':', '/' and '\\' "
                  "become '-')";
            return false;
        }
    }
    return true;
}

}  // namespace

std::string printable(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f || b == '\\') {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool parse_options(pam_handle_t *pamh, int argc, const char **argv, Options &o) {
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (starts_with(arg, "config=")) {
            o.config = arg.substr(7);
        } else if (starts_with(arg, "domain=")) {
            o.domain = arg.substr(7);
        } else if (arg == "debug") {
            o.debug = true;
        } else if (arg == "nodelay") {
            o.nodelay = true;
        } else if (arg == "use_first_pass" || arg == "try_first_pass" || arg == "use_authtok" ||
                   starts_with(arg, "authtok_type=")) {
            // pam_get_authtok reads these itself.
        } else {
            pam_syslog(pamh, LOG_ERR, "unknown option ignored: %s", printable(arg).c_str());
        }
    }
    // Inside setuid programs a relative path would follow the caller's working directory.
    if (o.config.empty() || o.config.front() != '/') {
        pam_syslog(pamh, LOG_ERR, "config=%s: the configuration file must be an absolute path",
                   printable(o.config).c_str());
        return false;
    }
    std::string why;
    if (!o.domain.empty() && (!check_key(o.domain, "domain", why) || o.domain.find('@') != std::string::npos)) {
        pam_syslog(pamh, LOG_ERR, "domain=%s is not a registry domain: %s", printable(o.domain).c_str(),
                   why.empty() ? "it holds '@'" : why.c_str());
        return false;
    }
    return true;
}

bool map_name(std::string_view name, const Options &o, RegistryUser &out, std::string &why) {
    std::string_view user = name;
    std::string_view domain = o.domain;
    if (const std::size_t at = name.rfind('@'); at != std::string_view::npos) {
        user = name.substr(0, at);
        domain = name.substr(at + 1);
        if (!o.domain.empty() && domain != o.domain) {
            why = "it names the domain " + printable(domain) + ", and this service serves only " + o.domain;
            return false;
        }
    } else if (domain.empty()) {
        why = "it names no domain (user@domain), and the service gives none (domain=)";
        return false;
    }
    if (!check_key(user, "user id", why) || !check_key(domain, "domain", why)) return false;
    if (user.size() + domain.size() > kMaxNames) {
        why = "the user id and domain together pass " + std::to_string(kMaxNames) +
              " bytes, more than a registry user can have";
        return false;
    }
    out.user = user;
    out.domain = domain;
    return true;
}

int get_registry_user(pam_handle_t *pamh, const Options &o, RegistryUser &out) {
    const char *name = nullptr;
    int rc = pam_get_user(pamh, &name, nullptr);
    if (rc == PAM_CONV_AGAIN) return PAM_INCOMPLETE;
    if (rc != PAM_SUCCESS) return rc;
    if (!name) return PAM_USER_UNKNOWN;
    std::string why;
    if (!map_name(name, o, out, why)) {
        pam_syslog(pamh, LOG_NOTICE, "user %s refused: %s", printable(name).c_str(), why.c_str());
        return PAM_USER_UNKNOWN;
    }
    if (o.debug) pam_syslog(pamh, LOG_DEBUG, "user %s is %s in the registry", printable(name).c_str(), out.text().c_str());
    return PAM_SUCCESS;
}

namespace {

struct FreeUser {
    void operator()(rspi_user *u) const { rspi_free_user(u); }
};
// A password copy is wiped before librspiutil keeps its block for reuse.
struct FreeAuthn {
    void operator()(rspi_authndata *a) const {
        if (a->data) explicit_bzero(a->data, a->length);
        rspi_free_authndata(a);
    }
};

std::unique_ptr<rspi_user, FreeUser> user_record(const RegistryUser &u) {
    std::unique_ptr<rspi_user, FreeUser> r(rspi_alloc_user());
    if (!r) throw std::bad_alloc();
    r->user_id = rspi_strdup(u.user.c_str());
    r->domain = rspi_strdup(u.domain.c_str());
    r->flag_1 = 2;
    r->account_valid = 2;
    r->number_2 = -1;
    if (!r->user_id || !r->domain) throw std::bad_alloc();
    return r;
}

std::unique_ptr<rspi_authndata, FreeAuthn> password_record(std::string_view text) {
    std::unique_ptr<rspi_authndata, FreeAuthn> a(rspi_alloc_authndata());
    if (!a) throw std::bad_alloc();
    a->type = 1;
    a->data = static_cast<char *>(rspi_alloc(text.size() + 1));
    if (!a->data) throw std::bad_alloc();
    std::memcpy(a->data, text.data(), text.size());
    a->length = static_cast<uint32_t>(text.size());
    return a;
}

}  // namespace

uint32_t authenticate(const Plugin &p, char **handle, const RegistryUser &u, std::string_view password) {
    auto user = user_record(u);
    auto authn = password_record(password);
    return p.authenticate_user(handle, user.get(), authn.get());
}

uint32_t change_password(const Plugin &p, char **handle, const RegistryUser &u, std::string_view old_password,
                         std::string_view new_password) {
    auto user = user_record(u);
    auto old_authn = password_record(old_password);
    auto new_authn = password_record(new_password);
    return p.change_authndata(handle, user.get(), old_authn.get(), new_authn.get());
}

uint32_t account_valid(const Plugin &p, char **handle, const RegistryUser &u, bool &valid) {
    auto user = user_record(u);
    const uint32_t rc = p.get_user(handle, user.get());
    valid = rc == RSPI_RC_SUCCESS && user->account_valid == 1;
    return rc;
}

int pam_code(Phase phase, uint32_t rc) {
    switch (rc) {
        case RSPI_RC_SUCCESS:
            return PAM_SUCCESS;
        case RSPI_RC_AUTHN_FAILED:
        case RSPI_RC_ACCOUNT_DISABLED:  // the right password, but saying so would tell a guesser
            return PAM_AUTH_ERR;
        case RSPI_RC_INVALID_USER:
            return PAM_USER_UNKNOWN;
        case RSPI_RC_CONFIG_ERROR:
        case RSPI_RC_FILE_ERROR:
        case RSPI_RC_MALFORMED_ENTRY:
        case kRegistryUnusable:
            return phase == Phase::Password ? PAM_AUTHTOK_ERR : PAM_AUTHINFO_UNAVAIL;
        default:  // 3 (no memory), 22 (never sent), the plug-in missing, codes the interface lacks
            return PAM_SYSTEM_ERR;
    }
}

const char *rc_reason(uint32_t rc) {
    switch (rc) {
        case RSPI_RC_SUCCESS: return "success";
        case RSPI_RC_NO_MEMORY: return "the plug-in ran out of memory (3)";
        case RSPI_RC_CONFIG_ERROR: return "the registry is not open (4)";
        case RSPI_RC_FILE_ERROR: return "a registry file could not be read or written (6)";
        case RSPI_RC_MALFORMED_ENTRY: return "the user's entry is damaged (9)";
        case RSPI_RC_ACCOUNT_DISABLED: return "the account is not valid (21)";
        case RSPI_RC_AUTHN_TYPE_UNSUPPORTED: return "the plug-in refused a password (22)";
        case RSPI_RC_AUTHN_FAILED: return "wrong password (23)";
        case RSPI_RC_INVALID_USER: return "no such user, or a disabled one (30)";
        case kRegistryUnusable: return "the registry is unusable (see above)";
        case kNoPlugin: return "the plug-in could not be loaded (see above)";
        default: return "an unexpected return code";
    }
}

int guarded(pam_handle_t *pamh, const std::function<int()> &body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        pam_syslog(pamh, LOG_CRIT, "out of memory");
        return PAM_BUF_ERR;
    } catch (const std::exception &e) {
        pam_syslog(pamh, LOG_ERR, "%s", e.what());
        return PAM_SYSTEM_ERR;
    } catch (...) {
        return PAM_SYSTEM_ERR;
    }
}

}  // namespace tolvpam
