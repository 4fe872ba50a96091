// host.cpp - the dlopen host: loading the plug-in, the registry's life,
// return codes, output and the helpers the command families share.
#include "tolvadm.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

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
        {RSPI_RC_USER_EXISTS, "RSPI_RC_USER_EXISTS", "the user already exists"},
        {RSPI_RC_GROUP_EXISTS, "RSPI_RC_GROUP_EXISTS", "the group already exists"},
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
// Host.

Host::~Host() {
    try {
        close();
    } catch (...) {
    }
    if (lib_) dlclose(lib_);
}

void Host::load() {
    if (lib_) return;
    std::string path = plugin_path.empty() ? default_plugin_path() : plugin_path;
    // dlopen searches the library path for a bare name; a file here is meant literally.
    std::error_code ec;
    if (path.find('/') == std::string::npos && fs::exists(path, ec)) path = "./" + path;
    dlerror();
    lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib_) {
        const char *why = dlerror();
        throw Error("cannot load the plug-in " + path + ": " + (why ? why : "unknown error"));
    }
    loaded_path_ = path;
}

void *Host::resolve(const char *name) {
    load();
    dlerror();
    void *p = dlsym(lib_, name);
    if (!p) throw Error("the plug-in " + loaded_path_ + " lacks the operation " + name + " (symbol not found)");
    return p;
}

void Host::open() {
    load();
    if (h) return;
    std::string config = config_path.empty() ? ensure_default_config() : config_path;
    auto initialize = sym<decltype(rspi_initialize)>("rspi_initialize");
    sym<decltype(rspi_terminate)>("rspi_terminate");  // fail now rather than at the end
    char **handle = nullptr;
    uint32_t rc = initialize(&handle, config.c_str());
    if (!report("rspi_initialize", rc)) throw Failed();
    if (!handle || !*handle) {
        // A handle without a directory cannot serve any operation.
        std::cerr << "tolvadm: rspi_initialize returned 0 but no registry directory\n";
        fail(kExitError);
        throw Failed();
    }
    h = handle;
    used_config_ = config;
}

void Host::close() {
    if (!h) return;
    char **handle = h;
    h = nullptr;
    report("rspi_terminate", sym<decltype(rspi_terminate)>("rspi_terminate")(handle));
}

bool Host::report(const char *op, uint32_t rc) {
    if (rc == RSPI_RC_SUCCESS) return true;
    std::cerr << op << ": rc = " << rc_text(rc) << "\n";
    // Return codes are small; use them as the exit status so scripts can tell them apart.
    fail(rc <= 255 ? static_cast<int>(rc) : kExitError);
    return false;
}

bool Host::expect(const char *op, uint32_t rc, uint32_t expected) {
    if (rc != expected) {
        if (rc == RSPI_RC_SUCCESS) {
            std::cerr << op << ": rc = 0 RSPI_RC_SUCCESS, but " << rc_text(expected) << " was expected\n";
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
    if (v.is_string()) return v.get<std::string>();
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
        out << pad << k << ":";
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

// ---------------------------------------------------------------------------
// Where things are.

std::string default_plugin_path() {
    std::vector<std::string> candidates;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) candidates.push_back((exe.parent_path() / ".." / "lib" / "libtolvflatfile.so").lexically_normal());
    // Installed with another library directory (lib64, multiarch): the plug-in
    // sits beside librspiutil, which the loader already found for us.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&rspi_alloc), &info) && info.dli_fname && *info.dli_fname)
        candidates.push_back((fs::path(info.dli_fname).parent_path() / "libtolvflatfile.so").string());
    for (const auto &c : candidates)
        if (fs::is_regular_file(c, ec)) return c;
    return TOLV_BUILD_PLUGIN;
}

namespace {

// A file descriptor closed on scope exit.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

std::string errno_text() { return std::strerror(errno); }

}  // namespace

std::string ensure_default_config() {
    std::error_code ec;
    fs::path dir = fs::current_path(ec);
    if (ec) throw Error("cannot determine the current directory: " + ec.message());
    dir /= "tolv-registry";
    const std::string dir_s = dir.string();
    if (::mkdir(dir_s.c_str(), 0700) == 0) {
        ::chmod(dir_s.c_str(), 0700);  // whatever the umask says
        std::cerr << "tolvadm: created the registry directory " << dir_s << "/\n";
    } else if (errno != EEXIST) {
        throw Error("cannot create " + dir_s + ": " + errno_text());
    }
    const std::string conf = dir_s + "/tolv.conf";
    Fd fd(::open(conf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.fd < 0) {
        if (errno == EEXIST) return conf;
        throw Error("cannot create " + conf + ": " + errno_text());
    }
    const std::string text = "dir=" + dir_s + "/\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Error("cannot write " + conf + ": " + errno_text());
        done += static_cast<std::size_t>(n);
    }
    return conf;
}

// ---------------------------------------------------------------------------
// Helpers for the families.

namespace {

// Turns terminal echo off for its lifetime.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

std::string read_password(const std::string &prompt, bool from_stdin) {
    std::string line;
    if (from_stdin || !::isatty(STDIN_FILENO)) {
        if (!std::getline(std::cin, line) && line.empty())
            throw Error("no password on standard input");
        return line;
    }
    std::cerr << prompt << std::flush;
    {
        EchoOff quiet(STDIN_FILENO);
        if (!std::getline(std::cin, line) && line.empty()) {
            std::cerr << "\n";
            throw Error("no password entered");
        }
    }
    std::cerr << "\n";
    return line;
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
