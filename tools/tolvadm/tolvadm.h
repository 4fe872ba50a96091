// tolvadm.h - the administration tool's framework, shared by every command family.
//
// tolvadm is a host like any other: it loads the plug-in with dlopen, resolves
// each operation by name, and allocates and releases records with librspiutil.
// Each family of commands lives in its own cmd_<family>.cpp (the registry checker,
// larger, in check/) and adds itself to the command line through its
// register_<family>_commands function.
//
// A command's callback typically does:
//     host.open();                                       // load + initialise
//     auto rc = host.sym<decltype(rspi_get_user)>("rspi_get_user")(host.h, user.get());
//     if (!host.report("rspi_get_user", rc)) return;     // prints the code, sets the exit status
//     host.print(fields);                                // text or JSON
// Option storage must outlive register_*: keep it in a std::shared_ptr that the
// callback captures (or in a static).
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rspi.h"
#include "tolv.h"

namespace tolvadm {

using Json = nlohmann::ordered_json;

// Exit statuses besides the return codes of the plug-in (which are used as
// they are: exit status 30 means RSPI_RC_INVALID_USER).
constexpr int kExitError = 1;  // the plug-in cannot be loaded, a file cannot be read, ...
constexpr int kExitUsage = 2;  // bad command line

// A failure of the tool itself (not a return code): printed as "tolvadm: <what>".
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Thrown after a failure was already reported (Host::report), to end the command.
struct Failed : std::exception {
    const char *what() const noexcept override { return "failed"; }
};

// ---------------------------------------------------------------------------
// Return codes.
struct RcInfo {
    uint32_t code;
    const char *name;     // "RSPI_RC_INVALID_USER"
    const char *meaning;  // "bad user names, or no such user"
};
// Every return code of the interface, in ascending order.
const std::vector<RcInfo> &rc_table();
// The entry for a code, or null for a code the interface does not define.
const RcInfo *rc_info(uint32_t rc);
// "30 RSPI_RC_INVALID_USER (bad user names, or no such user)"; unknown codes as "77 (unknown return code)".
std::string rc_text(uint32_t rc);

// ---------------------------------------------------------------------------
// The loaded plug-in and its registry.
class Host {
public:
    Host() = default;
    ~Host();  // terminates the registry and unloads the plug-in
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Settings from the command line; read by open().
    std::string plugin_path;  // empty: the default search (see default_plugin_path)
    std::string config_path;  // empty: TOLV_CONFIG, else ./tolv-registry/tolv.conf
    bool json = false;        // --json: commands print JSON

    // The registry handle, valid after open(); first argument of every operation.
    char **h = nullptr;

    // Loads the plug-in (once) and initialises the registry (once). Throws
    // Error when the plug-in cannot be loaded, Failed when rspi_initialize fails.
    void open();
    // Loads the plug-in only (used by commands that need no registry).
    void load();
    // rspi_terminate, if initialised; the destructor calls it too.
    void close();

    // Resolves an operation of the plug-in by name, loading the plug-in if needed.
    // F is the function type, e.g. sym<decltype(rspi_create_user)>("rspi_create_user").
    // Throws Error naming the symbol when the plug-in lacks it.
    template <class F>
    F *sym(const char *name) {
        return reinterpret_cast<F *>(resolve(name));
    }

    // Reports a return code. Non-zero: prints "op: rc = N NAME (meaning)" on
    // standard error, records it as the exit status (the first failure wins)
    // and returns false. Zero: prints nothing, returns true.
    bool report(const char *op, uint32_t rc);
    // For narrated runs (demo): a code that was expected (say, 23 for a wrong
    // password) prints "op: rc = N NAME (meaning), as expected" on standard
    // output and returns true; any other code is reported as a failure.
    bool expect(const char *op, uint32_t rc, uint32_t expected);
    // Records a failing exit status without printing anything.
    void fail(int status);

    // Output helpers honouring --json. print() writes one record: "name: value"
    // lines in text, an object in JSON. say() narrates (text mode only).
    void print(const Json &record) const;
    void say(std::string_view line) const;

    int exit_status() const { return exit_status_; }
    // The plug-in actually loaded (empty before load()).
    const std::string &loaded_path() const { return loaded_path_; }
    // The configuration file actually used (empty before open()).
    const std::string &used_config() const { return used_config_; }

private:
    void *resolve(const char *name);

    void *lib_ = nullptr;
    std::string loaded_path_;
    std::string used_config_;
    int exit_status_ = 0;
};

// Where the plug-in is looked for when --plugin is not given: <dir of the
// executable>/../lib/libtolvflatfile.so, else beside the loaded librspiutil,
// else the plug-in of the build tree.
std::string default_plugin_path();

// Configuration used when neither --config nor TOLV_CONFIG is given:
// ./tolv-registry/tolv.conf, creating the directory (0700) and a file holding
// "dir=<absolute path>/" when they are missing. Returns the file's path.
std::string ensure_default_config();

// ---------------------------------------------------------------------------
// Helpers for the command families.

// Reads a password: one line from standard input (newline stripped) when
// from_stdin is set or standard input is not a terminal, else from the
// terminal with echo off after printing prompt on standard error.
std::string read_password(const std::string &prompt, bool from_stdin);

// The bytes of a file; throws Error naming the file when it cannot be read.
std::vector<unsigned char> read_file_bytes(const std::string &path);

// Standard base64 with padding.
std::string base64(const unsigned char *data, std::size_t length);

// JSON views of plug-in values: null for a null pointer.
Json json_str(const char *s);
// {"length": n, "base64": "..."} or null.
Json json_blob(const rspi_blob *blob);
// ["type", ...] or null.
Json json_logintypes(const rspi_logintypes *types);

// Record ownership: unique pointers that release through librspiutil.
template <class T>
struct Release;
#define TOLVADM_RELEASE(T, fn) \
    template <>                \
    struct Release<T> {        \
        void operator()(T *p) const { fn(p); } \
    }
TOLVADM_RELEASE(rspi_user, rspi_free_user);
TOLVADM_RELEASE(rspi_group, rspi_free_group);
TOLVADM_RELEASE(rspi_policy, rspi_free_policy);
TOLVADM_RELEASE(rspi_resource, rspi_free_resource);
TOLVADM_RELEASE(rspi_resgroup, rspi_free_resgroup);
TOLVADM_RELEASE(rspi_rescreds, rspi_free_rescreds);
TOLVADM_RELEASE(rspi_userlist, rspi_free_userlist);
TOLVADM_RELEASE(rspi_grouplist, rspi_free_grouplist);
TOLVADM_RELEASE(rspi_policylist, rspi_free_policylist);
TOLVADM_RELEASE(rspi_resourcelist, rspi_free_resourcelist);
TOLVADM_RELEASE(rspi_resgrouplist, rspi_free_resgrouplist);
TOLVADM_RELEASE(rspi_rescredslist, rspi_free_rescredslist);
TOLVADM_RELEASE(rspi_authndata, rspi_free_authndata);
TOLVADM_RELEASE(rspi_blob, rspi_free_blob);
TOLVADM_RELEASE(rspi_logintypes, rspi_free_logintypes);
TOLVADM_RELEASE(rspi_resgroupmembers, rspi_free_resgroupmembers);
#undef TOLVADM_RELEASE

template <class T>
using Owned = std::unique_ptr<T, Release<T>>;

// Takes ownership of a fresh librspiutil allocation; throws std::bad_alloc on null.
template <class T>
Owned<T> own(T *p) {
    if (!p) throw std::bad_alloc();
    return Owned<T>(p);
}

// Replaces a string field of a record with a librspiutil copy of value,
// releasing the old one first.
void set_str(char *&field, std::string_view value);
// A password record (type 1) holding the given bytes.
Owned<rspi_authndata> make_password(std::string_view password);
// A blob holding the given bytes.
Owned<rspi_blob> make_blob(const std::vector<unsigned char> &bytes);

// ---------------------------------------------------------------------------
// Command families, one file each (cmd_<family>.cpp; check/cmd_check.cpp).
void register_user_commands(CLI::App &app, Host &host);
// Under `user`: list and groups (cmd_userlist.cpp); disable, enable, delete (cmd_userlife.cpp).
void register_userlist_commands(CLI::App &user_cmd, Host &host);
void register_userlife_commands(CLI::App &user_cmd, Host &host);
void register_group_commands(CLI::App &app, Host &host);
void register_policy_commands(CLI::App &app, Host &host);
void register_resource_commands(CLI::App &app, Host &host);
void register_resgroup_commands(CLI::App &app, Host &host);
void register_creds_commands(CLI::App &app, Host &host);
void register_check_commands(CLI::App &app, Host &host);
// `export` and `import` (cmd_export.cpp, cmd_import.cpp, cmd_export_ldif.cpp).
void register_export_commands(CLI::App &app, Host &host);

// Parts of `tolvadm demo`, run in this order on an initialised registry; each
// narrates what it does and reports unexpected codes through host.report().
void demo_users(Host &host);
void demo_groups(Host &host);
void demo_policies(Host &host);
void demo_resources(Host &host);
void demo_creds(Host &host);
void demo_lifecycle(Host &host);

}  // namespace tolvadm
