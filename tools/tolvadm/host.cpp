// host.cpp - the registry's life through the core (libtolvadmin.so),
// return codes, output and the helpers the command families share.
#include "tolvadm.h"
#include "tolvadmin.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#ifndef TOLV_BUILD_PLUGIN
#define TOLV_BUILD_PLUGIN ""
#endif

namespace fs = std::filesystem;

namespace tolvadm {

// ---------------------------------------------------------------------------
// Return codes.

const std::vector<RcInfo> &rc_table() {
    static const std::vector<RcInfo> table = {
        {RSPI_RC_SUCCESS, "RSPI_RC_SUCCESS", "success"},
        {RSPI_RC_NO_MEMORY, "RSPI_RC_NO_MEMORY", "an allocation failed"},
        {RSPI_RC_CONFIG_ERROR, "RSPI_RC_CONFIG_ERROR",
         "the configuration file cannot be opened or has no dir= line"},
        {RSPI_RC_NO_MORE_ENTRIES, "RSPI_RC_NO_MORE_ENTRIES",
         "no more entries: empty list, past the last or before the first"},
        {RSPI_RC_FILE_ERROR, "RSPI_RC_FILE_ERROR", "a file could not be written, read in full or renamed"},
        {RSPI_RC_MALFORMED_ENTRY, "RSPI_RC_MALFORMED_ENTRY",
         "a stored file or list line does not have its format"},
        {RSPI_RC_USER_NOT_DISABLED, "RSPI_RC_USER_NOT_DISABLED", "no disabled user under that registry id"},
        {RSPI_RC_GROUP_NOT_DISABLED, "RSPI_RC_GROUP_NOT_DISABLED", "no disabled group under that registry id"},
        {RSPI_RC_ACCOUNT_DISABLED, "RSPI_RC_ACCOUNT_DISABLED", "right password, but the account is not valid"},
        {RSPI_RC_AUTHN_TYPE_UNSUPPORTED, "RSPI_RC_AUTHN_TYPE_UNSUPPORTED",
         "authentication data other than a password"},
        {RSPI_RC_AUTHN_FAILED, "RSPI_RC_AUTHN_FAILED", "wrong password"},
        {RSPI_RC_ENTRY_NOT_IN_LIST, "RSPI_RC_ENTRY_NOT_IN_LIST", "a removal found no such line"},
        {RSPI_RC_INVALID_USER, "RSPI_RC_INVALID_USER", "bad user names, or no such user"},
        {RSPI_RC_INVALID_GROUP, "RSPI_RC_INVALID_GROUP", "bad group names, or no such group"},
        {RSPI_RC_INVALID_POLICY, "RSPI_RC_INVALID_POLICY", "bad policy names, or no such policy"},
        {RSPI_RC_INVALID_RESOURCE, "RSPI_RC_INVALID_RESOURCE", "bad resource name, or no such resource"},
        {RSPI_RC_INVALID_RESGROUP, "RSPI_RC_INVALID_RESGROUP",
         "bad resource-group name, or no such resource group"},
        {RSPI_RC_INVALID_RESCREDS, "RSPI_RC_INVALID_RESCREDS", "bad credential name, or no such credential"},
        // Also what a create or enable gives when another entry's list line holds the identity.
        {RSPI_RC_USER_EXISTS, "RSPI_RC_USER_EXISTS",
         "the user exists, or another user holds its registry id or UUID"},
        {RSPI_RC_GROUP_EXISTS, "RSPI_RC_GROUP_EXISTS",
         "the group exists, or another group holds its registry id or UUID"},
        {RSPI_RC_POLICY_EXISTS, "RSPI_RC_POLICY_EXISTS", "the policy already exists"},
        {RSPI_RC_RESOURCE_EXISTS, "RSPI_RC_RESOURCE_EXISTS", "the resource already exists"},
        {RSPI_RC_RESGROUP_EXISTS, "RSPI_RC_RESGROUP_EXISTS", "the resource group already exists"},
        {RSPI_RC_RESCREDS_EXISTS, "RSPI_RC_RESCREDS_EXISTS", "the credential already exists"},
    };
    return table;
}

const RcInfo *rc_info(uint32_t rc) {
    for (const auto &e : rc_table())
        if (e.code == rc) return &e;
    return nullptr;
}

std::string rc_text(uint32_t rc) {
    std::string s = std::to_string(rc);
    if (const RcInfo *e = rc_info(rc)) return s + " " + e->name + " (" + e->meaning + ")";
    return s + " (unknown return code)";
}

// ---------------------------------------------------------------------------
// Inert output.

namespace {

void append_escaped(std::string &out, std::string_view s, bool quote) {
    static const char hex[] = "0123456789abcdef";
    const auto byte = [&](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (quote && c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            byte(c);
        } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
            // U+0080..U+009F: C1 controls, which some terminals obey (CSI is U+009B).
            byte(c);
            byte(static_cast<unsigned char>(s[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
}

}  // namespace

std::string escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_escaped(out, s, false);
    return out;
}

std::string quoted_text(std::string_view s) {
    std::string out = "\"";
    append_escaped(out, s, true);
    out += '"';
    return out;
}

// ---------------------------------------------------------------------------
// Host.

Host::~Host() {
    try {
        close();
    } catch (...) {
    }
}

// The core is linked in: the operations are found among the loaded symbols.
void Host::load() {
    if (!loaded_path_.empty()) return;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&rspi_initialize), &info) && info.dli_fname)
        loaded_path_ = fs::path(info.dli_fname).lexically_normal().string();
    if (loaded_path_.empty()) loaded_path_ = "libtolvadmin.so";
}

void *Host::resolve(const char *name) {
    load();
    dlerror();
    void *p = dlsym(RTLD_DEFAULT, name);
    if (!p) throw Error("the core " + loaded_path_ + " lacks the operation " + name + " (symbol not found)");
    return p;
}

namespace {

std::string errno_text() { return std::strerror(errno); }

}  // namespace

void Host::open(bool lenient) {
    load();
    if (h) return;
    const bool defaulted = config_path.empty();
    const std::string config = defaulted ? default_config_path() : config_path;
    const char *make_one = defaulted ? " (make a registry with `tolvadm init`)" : "";
    // The plug-in would only say 4; name the file and the reason.
    const auto conf = tolv::admin::read_configuration(config);
    if (conf.read == tolv::admin::Configuration::Read::CannotOpen)
        throw NoRegistry("cannot open the configuration file " + escaped(config) + ": " + std::strerror(conf.error) +
                         make_one);
    if (conf.read == tolv::admin::Configuration::Read::NotRegular)
        throw NoRegistry("the configuration file " + escaped(config) + " is not a regular file");
    auto initialize = sym<decltype(rspi_initialize)>("rspi_initialize");
    sym<decltype(rspi_terminate)>("rspi_terminate");  // fail now rather than at the end
    char **handle = nullptr;
    const std::string saved = subject;
    subject = "configuration file " + config;
    const uint32_t rc = initialize(&handle, config.c_str());
    const bool initialised = report("rspi_initialize", rc);
    subject = saved;
    if (!initialised) throw Failed();
    if (!handle || !*handle) {
        // A handle without a directory cannot serve any operation.
        std::cerr << "tolvadm: rspi_initialize returned 0 but no registry directory\n";
        fail(kExitError);
        throw Failed();
    }
    h = handle;
    used_config_ = config;
    durable_ = conf.durable;

    // The plug-in builds every path as dir + name, so a missing directory would
    // only show as 6 or an empty listing, and a missing '/' puts files beside it.
    const std::string dir = *h;
    if (!dir.ends_with('/')) {
        const std::string why = "the configuration file " + escaped(config) + " sets dir=" + escaped(dir) +
                                " without its final '/': every registry file would be named " + escaped(dir) +
                                "<name>, beside the directory; write dir=" + escaped(dir) + "/";
        if (!lenient) throw NoRegistry(why);
        warnings_.push_back(why);
    }
    const std::string folder = dir.ends_with('/') ? dir : dir.substr(0, dir.rfind('/') + 1);
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0)
        throw NoRegistry("the registry directory " + escaped(folder) + " (dir= in " + escaped(config) +
                         "): " + errno_text() + make_one);
    if (!S_ISDIR(st.st_mode))
        throw NoRegistry("the registry directory " + escaped(folder) + " (dir= in " + escaped(config) +
                         ") is not a directory");
}

void Host::close() {
    if (!h) return;
    char **handle = h;
    h = nullptr;
    report("rspi_terminate", sym<decltype(rspi_terminate)>("rspi_terminate")(handle));
}

bool Host::report(const char *op, uint32_t rc) {
    if (rc == RSPI_RC_SUCCESS) return true;
    std::string reason;
    const RcInfo *e = rc_info(rc);
    if (rc == RSPI_RC_FILE_ERROR && h && *h)
        reason = "a file in the registry " + escaped(*h) + " could not be opened, written, read in full or renamed";
    else
        reason = e ? e->meaning : "a return code the interface does not define";
    std::cerr << "tolvadm: " << (subject.empty() ? "" : escaped(subject) + ": ") << op << ": " << rc
              << (e ? std::string(" ") + e->name : std::string()) << ": " << reason << "\n";
    // Return codes are small; use them as the exit status so scripts can tell them apart.
    fail(rc <= 255 ? static_cast<int>(rc) : kExitError);
    return false;
}

bool Host::expect(const char *op, uint32_t rc, uint32_t expected) {
    if (rc != expected) {
        if (rc == RSPI_RC_SUCCESS) {
            std::cerr << "tolvadm: " << op << ": 0 RSPI_RC_SUCCESS, but " << rc_text(expected) << " was expected\n";
            fail(kExitError);
        } else {
            report(op, rc);
        }
        return false;
    }
    if (rc != RSPI_RC_SUCCESS) say(std::string(op) + ": rc = " + rc_text(rc) + ", as expected");
    return true;
}

void Host::fail(int status) {
    if (exit_status_ == 0) exit_status_ = status == 0 ? kExitError : status;
}

namespace {

std::string scalar_text(const Json &v) {
    if (v.is_null()) return "-";
    if (v.is_string()) return escaped(v.get<std::string>());
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool all_scalars(const Json &arr) {
    for (const auto &e : arr)
        if (e.is_structured()) return false;
    return true;
}

void print_text(std::ostream &out, const Json &obj, int indent) {
    std::size_t width = 0;
    for (const auto &[k, v] : obj.items()) width = std::max(width, k.size());
    const std::string pad(static_cast<std::size_t>(indent), ' ');
    for (const auto &[k, v] : obj.items()) {
        out << pad << escaped(k) << ":";
        if (v.is_object()) {
            out << "\n";
            print_text(out, v, indent + 2);
            continue;
        }
        out << std::string(width - k.size() + 1, ' ');
        if (!v.is_array()) {
            out << scalar_text(v) << "\n";
        } else if (v.empty()) {
            out << "(none)\n";
        } else if (all_scalars(v)) {
            std::string sep;
            for (const auto &e : v) {
                out << sep << scalar_text(e);
                sep = ", ";
            }
            out << "\n";
        } else {
            out << "\n";
            for (const auto &e : v) {
                if (e.is_object()) {
                    print_text(out, e, indent + 2);
                    out << "\n";
                } else {
                    out << pad << "  " << scalar_text(e) << "\n";
                }
            }
        }
    }
}

}  // namespace

void Host::print(const Json &record) const {
    if (json) {
        std::cout << record.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    } else if (record.is_object()) {
        print_text(std::cout, record, 0);
    } else {
        std::cout << scalar_text(record) << "\n";
    }
    std::cout.flush();
}

void Host::say(std::string_view line) const {
    if (!json) std::cout << line << "\n" << std::flush;
}

void Host::value(std::string_view text) const {
    if (!json) std::cout << escaped(text) << "\n" << std::flush;
}

void Host::done(Json keys, std::string_view result) const {
    if (json) {
        keys["result"] = std::string(result);
        print(keys);
    } else {
        std::cout << escaped(subject) << ": " << result << "\n" << std::flush;
    }
}

// ---------------------------------------------------------------------------
// Where things are.

namespace {

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

}  // namespace

std::string default_config_path() {
    std::error_code ec;
    fs::path dir = fs::current_path(ec);
    if (ec) throw Error("cannot determine the current directory: " + ec.message());
    return (dir / "tolv-registry" / "tolv.conf").string();
}

std::vector<std::string> directory_warnings(const std::string &dir) {
    std::vector<std::string> out;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return out;
    if (st.st_uid != ::geteuid())
        out.push_back("the registry directory " + escaped(dir) + " belongs to uid " + std::to_string(st.st_uid) +
                      ", not to this account (uid " + std::to_string(::geteuid()) +
                      "): run tolvadm as the account the service runs as");
    if (st.st_mode & 077)
        out.push_back("the registry directory " + escaped(dir) + " has mode " + octal(st.st_mode) +
                      ": other accounts can reach the passwords and credential texts stored in clear text; "
                      "chmod 0700 it");
    return out;
}

std::vector<std::string> config_warnings(const std::string &file) {
    std::vector<std::string> out;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return out;
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        out.push_back("the configuration file " + escaped(file) + " belongs to uid " + std::to_string(st.st_uid) +
                      ": that account can point the registry anywhere");
    if (st.st_mode & 022)
        out.push_back("the configuration file " + escaped(file) + " has mode " + octal(st.st_mode) +
                      ": other accounts can change it and point the registry anywhere; chmod go-w it");
    return out;
}

namespace {

// The mount's type as /proc/self/mountinfo names it ("fuse.glusterfs", "nfs4"), for the mount holding path.
std::string mount_type(const std::string &path) {
    std::error_code ec;
    const std::string real = fs::canonical(path, ec).string();
    std::ifstream in("/proc/self/mountinfo");
    std::string line, best_at, best_type;
    while (std::getline(in, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream f(line);
        std::string id, parent, dev, root, at, word;
        f >> id >> parent >> dev >> root >> at;
        while (f >> word && word != "-") {
        }
        std::string type;
        f >> type;
        const bool under = real == at || (real.starts_with(at) && (at == "/" || real[at.size()] == '/'));
        if (under && at.size() >= best_at.size()) {
            best_at = at;
            best_type = type;
        }
    }
    return best_type;
}

}  // namespace

std::string shared_fs_note(const std::string &registry) {
    // The registry's string is a path prefix: its files live up to its last '/'.
    std::string dir = registry.substr(0, registry.rfind('/') + 1);
    if (dir.empty()) dir = ".";
    struct statfs sf {};
    if (::statfs(dir.c_str(), &sf) != 0) return {};
    constexpr unsigned long kFuse = 0x65735546, kNfs = 0x6969, kSmb = 0x517b, kCifs = 0xff534d42, kSmb2 = 0xfe534d42,
                            kCeph = 0x00c36400, kAfs = 0x5346414f, kNineP = 0x01021997, kGfs2 = 0x01161970,
                            kOcfs2 = 0x7461636f, kLustre = 0x0bd00bd0;
    const unsigned long t = static_cast<unsigned long>(sf.f_type);
    const bool fuse = t == kFuse, nfs = t == kNfs;
    if (!fuse && !nfs && t != kSmb && t != kCifs && t != kSmb2 && t != kCeph && t != kAfs && t != kNineP &&
        t != kGfs2 && t != kOcfs2 && t != kLustre)
        return {};
    std::string type = mount_type(dir);
    if (type.empty()) type = fuse ? "fuse" : nfs ? "nfs" : "network";
    std::string note = "the registry directory " + escaped(dir) + " is on a shared file system (" + type + "): ";
    if (type == "fuse.glusterfs")
        note += "tolvadm cannot verify that the volume's client caches are off (performance.quick-read, io-cache, "
                "stat-prefetch, read-ahead, open-behind, readdir-ahead, write-behind, nl-cache, parallel-readdir) "
                "nor that every host mounts it with entry-timeout=0, attribute-timeout=0 and negative-timeout=0";
    else if (nfs)
        note += "tolvadm cannot verify that every host mounts it with NFSv4 (locks), actimeo=0 and lookupcache=none";
    else
        note += "tolvadm cannot verify that locks on a regular file reach every host and that no host caches "
                "attributes, lookups or file contents";
    return note + "; without that, another host may answer from stale state (doc/several-hosts.md)";
}

void init_registry(Host &host, const std::string &dir_arg) {
    std::error_code ec;
    fs::path dir = fs::absolute(dir_arg.empty() ? "tolv-registry" : dir_arg, ec);
    if (ec) throw Error("cannot determine the current directory: " + ec.message());
    dir = dir.lexically_normal();
    std::string dir_s = dir.string();
    while (dir_s.size() > 1 && dir_s.ends_with('/')) dir_s.pop_back();
    // A configuration named only by TOLV_CONFIG belongs to another registry when DIR is given.
    const bool use_config = !host.config_path.empty() && (host.config_given || dir_arg.empty());
    const std::string conf = use_config ? host.config_path : dir_s + "/tolv.conf";

    using Fault = tolv::admin::Made::Fault;
    const tolv::admin::Made m = tolv::admin::make_registry(dir_s, conf);
    const std::string why = std::strerror(m.error);
    switch (m.fault) {
    case Fault::None: break;
    case Fault::MakeDirectory: throw Error("cannot create the registry directory " + escaped(dir_s) + ": " + why);
    case Fault::NotDirectory: throw Error(escaped(dir_s) + " exists and is not a directory");
    // Its owner could read and change every entry: init does not adopt it.
    case Fault::OtherOwner:
        throw Error("the directory " + escaped(dir_s) + " belongs to uid " + std::to_string(m.owner) +
                    ", not to this account (uid " + std::to_string(::geteuid()) +
                    "); init makes a registry only in a new directory or one of this account's own");
    case Fault::ConfigExists:
        throw Error("the configuration file " + escaped(conf) + " already exists; init leaves it as it is");
    case Fault::CreateConfig: throw Error("cannot create the configuration file " + escaped(conf) + ": " + why);
    case Fault::WriteConfig: throw Error("cannot write the configuration file " + escaped(conf) + ": " + why);
    }
    const bool made = m.made_directory;

    Json j;
    j["directory"] = dir_s + "/";
    j["config"] = conf;
    j["created_directory"] = made;
    if (host.json) {
        host.print(j);
    } else {
        std::cout << (made ? "created the registry directory " : "using the existing directory ") << escaped(dir_s)
                  << "/" << (made ? " (mode 0700)" : "") << "\n"
                  << "created the configuration file " << escaped(conf) << "\n";
        if (conf != default_config_path())
            std::cout << "use it with --config " << escaped(conf) << " (or TOLV_CONFIG=" << escaped(conf) << ")\n";
        if (!host.config_path.empty() && host.config_path != conf)
            std::cout << "note: TOLV_CONFIG names " << escaped(host.config_path)
                      << ", the configuration of another registry\n";
    }
    if (!made)
        for (const auto &w : directory_warnings(dir_s)) std::cerr << "tolvadm: warning: " << w << "\n";
}

// ---------------------------------------------------------------------------
// Helpers for the families.

namespace {

// The terminal settings to put back if a signal ends the tool while echo is
// off; the handler only reads them (tcsetattr is async-signal-safe).
termios g_saved_tty{};
volatile sig_atomic_t g_tty_fd = -1;
constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restore_tty_and_die(int sig) {
    const int fd = g_tty_fd;
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &g_saved_tty);
        [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, "\n", 1);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Turns terminal echo off for its lifetime, and has the signals that would
// end the tool meanwhile restore it first.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) return;
        g_saved_tty = saved_;
        struct sigaction sa {};
        sa.sa_handler = restore_tty_and_die;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i)
            ::sigaction(kRestoreSignals[i], &sa, &old_[i]);
        g_tty_fd = fd_;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        hooked_ = true;
    }
    ~EchoOff() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
        if (!hooked_) return;
        g_tty_fd = -1;
        for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) ::sigaction(kRestoreSignals[i], &old_[i], nullptr);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    int fd_;
    termios saved_{};
    struct sigaction old_[std::size(kRestoreSignals)] {};
    bool active_ = false;
    bool hooked_ = false;
};

bool from_terminal(bool from_stdin) { return !from_stdin && ::isatty(STDIN_FILENO); }

// One line from the terminal with echo off.
std::string ask(const std::string &prompt) {
    std::string line;
    // Echo goes off before the prompt shows, so nothing typed after it is echoed.
    EchoOff quiet(STDIN_FILENO);
    std::cerr << prompt << std::flush;
    if (!std::getline(std::cin, line) && line.empty()) throw Error("no password entered");
    return line;
}

}  // namespace

std::string read_password(const std::string &prompt, bool from_stdin) {
    std::string line;
    if (!from_terminal(from_stdin)) {
        if (!std::getline(std::cin, line) && line.empty()) throw Error("no password on standard input");
        return line;
    }
    return ask(prompt);
}

std::string read_new_secret(const std::string &what, const std::string &owner, bool from_stdin) {
    std::string secret;
    const std::string prompt = "New " + what + " for " + escaped(owner) + ": ";
    if (!from_terminal(from_stdin)) {
        secret = read_password(prompt, true);
    } else {
        secret = ask(prompt);
        if (ask("Repeat the new " + what + ": ") != secret)
            throw Error("the two " + what + "s for " + escaped(owner) + " differ; nothing was changed");
    }
    const std::string refused = "the " + what + " for " + escaped(owner) + " is refused (nothing was changed): ";
    if (secret.empty())
        throw Error(refused + "it is empty, and an empty " + what + " cannot be stored as one");
    if (secret.size() > kMaxSecret)
        throw Error(refused + "it has " + std::to_string(secret.size()) + " bytes, and the registry stores at most " +
                    std::to_string(kMaxSecret) + " (a longer one would be kept as none)");
    if (secret.find('\0') != std::string::npos)
        throw Error(refused + "it holds a NUL byte, which the registry's text lines cannot keep");
    return secret;
}

ListPlan plan_listing(const char *id, const char *domain, const char *registry_id) {
    // No list line holds a line break, so a filter starting with one matches none.
    static const char *const kNone = "\n";
    const bool names = id || domain;
    if (!names && !registry_id) return {};
    if (!registry_id) return {{id, domain, kNone}, std::nullopt};
    if (!names) return {{kNone, nullptr, registry_id}, std::nullopt};
    return {{id, domain, kNone}, ListFilters{kNone, nullptr, registry_id}};
}

std::optional<std::string> registry_file(Host &host, const std::string &name) {
    std::string data;
    if (tolv::admin::read_registry_file(host.h, name, data) != RSPI_RC_SUCCESS) return std::nullopt;
    return data;
}

std::vector<unsigned char> read_file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot read " + path + ": " + errno_text());
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Error("cannot read " + path + " in full");
    return bytes;
}

std::string base64(const unsigned char *data, std::size_t length) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (std::size_t rest = length - i) {
        uint32_t v = uint32_t{data[i]} << 16;
        if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

Json json_str(const char *s) { return s ? Json(s) : Json(nullptr); }

Json json_blob(const rspi_blob *blob) {
    if (!blob) return nullptr;
    Json j;
    j["length"] = blob->length;
    j["base64"] = blob->data ? base64(blob->data, blob->length) : std::string();
    return j;
}

Json json_logintypes(const rspi_logintypes *types) {
    if (!types) return nullptr;
    Json arr = Json::array();
    char *const *slots = types->types;  // a trailing array of count slots
    for (int32_t i = 0; i < types->count; ++i) arr.push_back(json_str(slots[i]));
    return arr;
}

void set_str(char *&field, std::string_view value) {
    char *copy = rspi_strdup(std::string(value).c_str());
    if (!copy) throw std::bad_alloc();
    rspi_free(field);
    field = copy;
}

Owned<rspi_authndata> make_password(std::string_view password) {
    auto authn = own(rspi_alloc_authndata());
    authn->type = 1;
    authn->length = static_cast<uint32_t>(password.size());
    authn->data = static_cast<char *>(rspi_alloc(password.size() + 1));
    if (!authn->data) throw std::bad_alloc();
    if (!password.empty()) std::memcpy(authn->data, password.data(), password.size());
    return authn;
}

Owned<rspi_blob> make_blob(const std::vector<unsigned char> &bytes) {
    auto blob = own(rspi_alloc_blob(static_cast<uint32_t>(bytes.size())));
    if (!bytes.empty()) {
        if (!blob->data) throw std::bad_alloc();
        std::memcpy(blob->data, bytes.data(), bytes.size());
    }
    return blob;
}

}  // namespace tolvadm
