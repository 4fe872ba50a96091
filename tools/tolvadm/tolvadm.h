// tolvadm.h - the administration tool's framework, shared by every command family.
//
// tolvadm runs on the core, libtolvadmin.so: the plug-in's rspi_ operations
// (resolved by name) and the tool face (tolvadmin.h); records are allocated and
// released with librspiutil. It opens no registry file itself.
// Each family of commands lives in its own cmd_<family>.cpp (check's command line
// and report in check/) and adds itself to the command line through its
// register_<family>_commands function; create, get, modify, delete and list of
// the record families are built from their field tables (family_cmds.h).
//
// A command's callback typically does:
//     host.open();                                       // load + initialise
//     auto rc = host.sym<decltype(rspi_get_user)>("rspi_get_user")(host.h, user.get());
//     if (!host.report("rspi_get_user", rc)) return;     // prints the code, sets the exit status
//     host.print(fields);                                // text or JSON
// Option storage must outlive register_*: keep it in a std::shared_ptr that the
// callback captures (or in a static).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "json.h"
#include "rspi.h"
#include "tolv.h"

namespace tolvadm {

// Exit statuses besides the return codes of the plug-in (which are used as
// they are: exit status 30 means RSPI_RC_INVALID_USER).
constexpr int kExitError = 1;       // the plug-in cannot be loaded, a value is refused, ...
constexpr int kExitUsage = 2;       // bad command line
constexpr int kExitNoRegistry = 7;  // the configuration file or registry directory is missing or unusable

// The rspi_ interface this tool is written against (what rspi_version answers).
constexpr uint32_t kInterfaceVersion = 2;
// The longest password or credential text the record files keep; longer ones
// would be stored as none.
constexpr std::size_t kMaxSecret = 99;

// A failure of the tool itself (not a return code): printed as "tolvadm: <what>".
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The registry cannot be reached: exit status kExitNoRegistry.
struct NoRegistry : Error {
    using Error::Error;
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
// Output of stored values is inert: control characters, line breaks and the
// UTF-8 C1 controls come out as \xNN (\n, \r, \t), a backslash as "\\".
std::string escaped(std::string_view s);
// escaped() inside double quotes, with '"' as \".
std::string quoted_text(std::string_view s);

// ---------------------------------------------------------------------------
// The loaded plug-in and its registry.
class Host {
public:
    Host() = default;
    ~Host();  // terminates the registry and unloads the plug-in
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Settings from the command line; read by open().
    std::string config_path;  // empty: TOLV_CONFIG, else ./tolv-registry/tolv.conf
    bool config_given = false;  // --config was on the command line (config_path may come from TOLV_CONFIG)
    bool json = false;        // --json: commands print JSON

    // What the running command works on, e.g. "user corp/alice"; errors name it.
    std::string subject;

    // The registry handle, valid after open(); first argument of every operation.
    char **h = nullptr;

    // Loads the plug-in (once) and initialises the registry (once). Never
    // creates anything. Throws Error when the plug-in cannot be loaded,
    // NoRegistry when the configuration file or the registry directory is
    // missing, not a directory, or dir= lacks its final '/' (with lenient, as
    // for info, that last one is a warning), Failed when rspi_initialize fails.
    void open(bool lenient = false);
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

    // Reports a return code. Non-zero: prints
    // "tolvadm: SUBJECT: op: N NAME: reason" on standard error, records it as
    // the exit status (the first failure wins) and returns false. Zero: prints
    // nothing, returns true.
    bool report(const char *op, uint32_t rc);
    // For narrated runs (demo): a code that was expected (say, 23 for a wrong
    // password) prints "op: rc = N NAME (meaning), as expected" on standard
    // output and returns true; any other code is reported as a failure.
    bool expect(const char *op, uint32_t rc, uint32_t expected);
    // Records a failing exit status without printing anything.
    void fail(int status);

    // Output helpers honouring --json. print() writes one record: "name: value"
    // lines in text (values escaped), an object in JSON. say() narrates (text
    // mode only); value() prints a stored value on a line of its own, escaped.
    void print(const Json &record) const;
    void say(std::string_view line) const;
    void value(std::string_view text) const;
    // The success message of a command whose entry is gone or unchanged:
    // "SUBJECT: result" in text, keys plus {"result": result} in JSON.
    void done(Json keys, std::string_view result) const;
    // Problems worth a look that do not stop the command (info).
    const std::vector<std::string> &warnings() const { return warnings_; }

    int exit_status() const { return exit_status_; }
    // The core library the operations come from (empty before load()).
    const std::string &loaded_path() const { return loaded_path_; }
    // The configuration file actually used (empty before open()).
    const std::string &used_config() const { return used_config_; }
    // The configuration says durable=true: tolvadm's own writes flush as the plug-in's do.
    bool durable() const { return durable_; }

private:
    void *resolve(const char *name);

    std::string loaded_path_;
    std::string used_config_;
    bool durable_ = false;
    std::vector<std::string> warnings_;
    int exit_status_ = 0;
};

// Configuration used when neither --config nor TOLV_CONFIG is given:
// <current directory>/tolv-registry/tolv.conf.
std::string default_config_path();

// `tolvadm init [DIR]`: makes DIR (default ./tolv-registry) with mode 0700 and
// the configuration file holding dir=DIR/: where --config says, else DIR/tolv.conf
// (TOLV_CONFIG counts only without DIR). An existing DIR of another account is refused.
void init_registry(Host &host, const std::string &dir);
// Warnings about a registry directory other accounts could reach: owned by
// another account than ours, or a mode wider than 0700.
std::vector<std::string> directory_warnings(const std::string &dir);
// Warnings about a configuration file another account could change (and so move the registry): owned by an
// account other than ours and root, or writable by group or others.
std::vector<std::string> config_warnings(const std::string &file);
// When the registry (its "dir" string) is on a network or FUSE file system: what it needs of that file system
// that tolvadm cannot verify. Empty on a local file system.
std::string shared_fs_note(const std::string &registry);

// ---------------------------------------------------------------------------
// Helpers for the command families.

// Reads a password: one line from standard input (newline stripped) when
// from_stdin is set or standard input is not a terminal, else from the
// terminal with echo off after printing prompt on standard error. The terminal
// is restored also when SIGINT, SIGTERM, SIGHUP or SIGQUIT end the tool.
std::string read_password(const std::string &prompt, bool from_stdin);
// Reads a password or credential text to be stored ("password", "credential
// text"): on a terminal it is asked twice and both must match. Refused with
// Error, before the plug-in sees it, when it is empty, longer than kMaxSecret
// or holds a NUL: the registry could not store it usably.
std::string read_new_secret(const std::string &what, const std::string &owner, bool from_stdin);

// A registry file (name relative to the registry) for a look (the demo); nullopt
// when nothing or no readable regular file is there. Read by the core.
std::optional<std::string> registry_file(Host &host, const std::string &name);

// Who a disabled user or group is: enable finds the registry id (when not
// given) and the UUID to keep from the disabled entries of the list, whose
// records (read by the core) still hold the names. Prints why and
// sets the exit status, returning false, when none or several fit.
struct DisabledEntry {
    std::string registry_id, uuid;
};
bool find_disabled(Host &host, bool group, const std::string &domain, const std::string &id,
                   const std::string *registry_id, DisabledEntry &out);

// The filters of one user or group listing (null: not given).
struct ListFilters {
    const char *id = nullptr, *domain = nullptr, *registry_id = nullptr;
};
// The interface lists an enabled entry when both name filters match OR the
// registry-id filter does, and a missing filter matches everything. tolvadm's
// filters must all match: name filters alone go with a registry-id filter
// that matches nothing, a registry-id filter alone with such a name filter,
// and both together need a second listing (second) whose entries the first
// one's are intersected with.
struct ListPlan {
    ListFilters first;
    std::optional<ListFilters> second;
};
ListPlan plan_listing(const char *id, const char *domain, const char *registry_id);

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
void register_user_commands(Command &app, Host &host);
// Under `user`: list and groups (cmd_userlist.cpp); disable, enable, delete (cmd_userlife.cpp).
void register_userlist_commands(Command &user_cmd, Host &host);
void register_userlife_commands(Command &user_cmd, Host &host);
void register_group_commands(Command &app, Host &host);
void register_policy_commands(Command &app, Host &host);
void register_resource_commands(Command &app, Host &host);
void register_resgroup_commands(Command &app, Host &host);
void register_creds_commands(Command &app, Host &host);
void register_check_commands(Command &app, Host &host);
// `export` and `import` (cmd_export.cpp, import/, cmd_export_ldif.cpp).
void register_export_commands(Command &app, Host &host);

// Parts of `tolvadm demo`, run in this order on an initialised registry; each
// narrates what it does and reports unexpected codes through host.report().
void demo_users(Host &host);
void demo_groups(Host &host);
void demo_policies(Host &host);
void demo_resources(Host &host);
void demo_creds(Host &host);
void demo_lifecycle(Host &host);

}  // namespace tolvadm
