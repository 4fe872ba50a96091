// pam_tolv.h - what the PAM entry points share: their arguments, the mapping
// of PAM names to registry users, the registry session and the return codes.
#pragma once

#include <security/pam_ext.h>
#include <security/pam_modules.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "rspi.h"

#define TOLV_PAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace tolvpam {

struct Options {
    std::string config = TOLV_PAM_DEFAULT_CONFIG;
    std::string domain;  // empty: every name must carry its @domain
    bool debug = false;
    bool nodelay = false;
};

// Reads the module arguments; false (after logging why) when one is unusable.
bool parse_options(pam_handle_t *pamh, int argc, const char **argv, Options &o);

// A registry user: both keys as the registry stores them.
struct RegistryUser {
    std::string user;
    std::string domain;
    std::string text() const { return domain + "/" + user; }
};

// The PAM name as a registry user; false with the reason when the registry
// would refuse the name, or would take it for another one.
bool map_name(std::string_view name, const Options &o, RegistryUser &out, std::string &why);

// The PAM user as a registry user; a PAM code, PAM_SUCCESS when `out` is set.
int get_registry_user(pam_handle_t *pamh, const Options &o, RegistryUser &out);

// Text safe for a log line: control bytes as \xNN.
std::string printable(std::string_view text);

// The operations the module calls, resolved in the loaded plug-in.
struct Plugin {
    decltype(&rspi_initialize) initialize = nullptr;
    decltype(&rspi_terminate) terminate = nullptr;
    decltype(&rspi_authenticate_user) authenticate_user = nullptr;
    decltype(&rspi_change_authndata) change_authndata = nullptr;
    decltype(&rspi_get_user) get_user = nullptr;
};

// Codes of the module's own for what happens before the plug-in is called.
inline constexpr uint32_t kRegistryUnusable = 1000;  // configuration or directory refused, or not open
inline constexpr uint32_t kNoPlugin = 1001;          // the plug-in could not be loaded

using RegistryCall = std::function<uint32_t(const Plugin &, char **handle)>;
// Opens the registry of the configuration file, runs `call` and closes it
// again: the plug-in's return code, or one of the two above (logged).
uint32_t with_registry(pam_handle_t *pamh, const Options &o, const RegistryCall &call);

// The registry operations on a PAM user.
uint32_t authenticate(const Plugin &p, char **handle, const RegistryUser &u, std::string_view password);
uint32_t change_password(const Plugin &p, char **handle, const RegistryUser &u, std::string_view old_password,
                         std::string_view new_password);
// rspi_get_user; `valid` tells whether its account-valid flag is 1.
uint32_t account_valid(const Plugin &p, char **handle, const RegistryUser &u, bool &valid);

enum class Phase { Auth, Account, Password };
// A plug-in return code as a PAM code (the table in pam_tolv(8)).
int pam_code(Phase phase, uint32_t rc);
// Why, for the log.
const char *rc_reason(uint32_t rc);

// Runs an entry point: no exception reaches libpam.
int guarded(pam_handle_t *pamh, const std::function<int()> &body);

}  // namespace tolvpam
