// cmd_import.cpp - `tolvadm import FILE`: loads an export document through the
// plug-in in one process. The whole document is read and checked first
// (shape, types, what the files can hold, duplicates, references); only a
// document without a single problem is written, entry by entry, and each
// entry is reported as created or failed with its return code.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <algorithm>

#include "check/checkreg.h"
#include "cmd_export.h"

namespace tolvadm::xport {

namespace {

// The bounds of the registry files (names without their directory).
constexpr std::size_t kMaxFileName = 255;   // one path component
constexpr std::size_t kMaxListEntry = 248;  // an index line without its newline
constexpr std::size_t kMaxText = 998;       // a record line without its newline
constexpr std::size_t kMaxSecret = 99;      // a stored password or credential text
constexpr std::size_t kUuidTextLen = 36;    // a UUID the plug-in makes
constexpr std::size_t kLoginTypesBuffer = 250;

// ---------------------------------------------------------------------------
// The checked document.

struct Scalars {
    std::vector<std::optional<std::string>> keys, texts;
    std::vector<uint32_t> u32s;
    std::vector<int32_t> i32s;
    std::optional<std::string> blob;
    std::string path;  // "users[3]", for reports
};
struct CredEntry {
    Scalars s;
    std::optional<std::string> text;
};
struct UserEntry {
    Scalars s;
    bool enabled = true;
    std::optional<std::string> password;
    std::optional<std::vector<std::string>> login_types;
    std::vector<CredEntry> creds;
};
struct GroupEntry {
    Scalars s;
    bool enabled = true;
    std::vector<std::pair<std::string, std::string>> members;
};
struct ResgroupEntry {
    Scalars s;
    std::vector<std::string> members;
};
struct Document {
    std::vector<UserEntry> users;
    std::vector<GroupEntry> groups;
    std::vector<Scalars> policies, resources;
    std::vector<ResgroupEntry> resgroups;
};

std::string key(const Scalars &s, std::size_t i) { return s.keys[i] ? lower(*s.keys[i]) : std::string(); }

// The text of field name among the texts of family f, or null.
template <class R>
const std::optional<std::string> &text_of(const Family<R> &f, const Scalars &s, std::string_view name) {
    for (std::size_t i = 0; i < f.texts.size(); ++i)
        if (name == f.texts[i].name) return s.texts[i];
    static const std::optional<std::string> none;
    return none;
}

// Reads and checks a document; every problem is collected with its place.
class Checker {
public:
    std::vector<std::string> problems;

    Document read(const Json &root) {
        Document doc;
        if (!root.is_object()) {
            problem("", "the document is not a JSON object");
            return doc;
        }
        allow(root, "", {"format", "version", "secrets", "users", "groups", "policies", "resources", "resource_groups"});
        if (!root.contains("format") || root["format"] != kFormat)
            problem("format", std::string("must be \"") + kFormat + "\"");
        if (!root.contains("version") || root["version"] != kVersion)
            problem("version", "must be " + std::to_string(kVersion));
        if (root.contains("secrets") && !root["secrets"].is_boolean()) problem("secrets", "must be true or false");
        each(root, user_family().plural, [&](const Json &j, const std::string &p) { doc.users.push_back(user(j, p)); });
        each(root, group_family().plural, [&](const Json &j, const std::string &p) { doc.groups.push_back(group(j, p)); });
        each(root, policy_family().plural,
             [&](const Json &j, const std::string &p) { doc.policies.push_back(policy(j, p)); });
        each(root, resource_family().plural,
             [&](const Json &j, const std::string &p) { doc.resources.push_back(resource(j, p)); });
        each(root, resgroup_family().plural,
             [&](const Json &j, const std::string &p) { doc.resgroups.push_back(resgroup(j, p)); });
        cross_check(doc);
        return doc;
    }

private:
    void problem(const std::string &path, const std::string &what) {
        problems.push_back(path.empty() ? what : path + ": " + what);
    }

    template <class F>
    void each(const Json &root, const char *name, F f) {
        if (!root.contains(name) || root[name].is_null()) return;
        if (!root[name].is_array()) return problem(name, "must be an array");
        const Json &arr = root[name];
        for (std::size_t i = 0; i < arr.size(); ++i) f(arr[i], std::string(name) + "[" + std::to_string(i) + "]");
    }

    // A text: a JSON string or {"base64": ...}, one record line without NUL.
    std::optional<std::string> text(const Json &obj, const std::string &path, const char *name, std::size_t max,
                                    bool required) {
        const std::string where = path + "." + name;
        if (!obj.contains(name) || obj[name].is_null()) {
            if (required) problem(where, "is required");
            return std::nullopt;
        }
        auto bytes = text_bytes(obj[name]);
        if (!bytes) {
            problem(where, "must be a string or {\"base64\": \"...\"}");
            return std::nullopt;
        }
        if (bytes->find('\n') != std::string::npos || bytes->find('\0') != std::string::npos)
            problem(where, "holds a line break or NUL, which a record line cannot keep");
        else if (bytes->size() > max)
            problem(where, "is " + std::to_string(bytes->size()) + " bytes; at most " + std::to_string(max) +
                               " are stored");
        return bytes;
    }

    std::optional<std::string> name(const Json &obj, const std::string &path, const char *field) {
        auto v = text(obj, path, field, kMaxFileName, true);
        if (v && (v->empty() || v->find(' ') != std::string::npos))
            problem(path + "." + field, "must be non-empty and hold no blank");
        return v;
    }

    template <class N>
    N number(const Json &obj, const std::string &path, const char *field, N unset) {
        if (!obj.contains(field) || obj[field].is_null()) return unset;
        const Json &v = obj[field];
        if (v.is_number_integer()) {
            const bool neg = v.is_number_integer() && !v.is_number_unsigned() && v.get<int64_t>() < 0;
            if (neg ? v.get<int64_t>() >= std::numeric_limits<N>::min()
                    : v.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<N>::max()))
                return neg ? static_cast<N>(v.get<int64_t>()) : static_cast<N>(v.get<uint64_t>());
        }
        problem(path + "." + field, std::string("must be an integer from ") +
                                        std::to_string(std::numeric_limits<N>::min()) + " to " +
                                        std::to_string(std::numeric_limits<N>::max()));
        return unset;
    }

    template <class R>
    Scalars scalars(const Json &j, const std::string &path, const Family<R> &f) {
        Scalars s;
        s.path = path;
        for (const auto &k : f.keys) s.keys.push_back(name(j, path, k.name));
        for (const auto &t : f.texts) s.texts.push_back(text(j, path, t.name, kMaxText, false));
        for (const auto &n : f.u32s) s.u32s.push_back(number<uint32_t>(j, path, n.name, n.unset));
        for (const auto &n : f.i32s) s.i32s.push_back(number<int32_t>(j, path, n.name, n.unset));
        if (j.contains("blob") && !j["blob"].is_null()) {
            s.blob = j["blob"].is_string() ? unbase64(j["blob"].get<std::string>()) : std::nullopt;
            if (!s.blob) problem(path + ".blob", "must be base64 text or null");
        }
        return s;
    }

    template <class R>
    std::vector<std::string_view> members_of(const Family<R> &f, std::initializer_list<std::string_view> extra) {
        std::vector<std::string_view> out(extra);
        for (const auto &k : f.keys) out.push_back(k.name);
        for (const auto &t : f.texts) out.push_back(t.name);
        for (const auto &n : f.u32s) out.push_back(n.name);
        for (const auto &n : f.i32s) out.push_back(n.name);
        out.push_back("blob");
        return out;
    }
    // Every member of obj must be one of names.
    void allow(const Json &obj, const std::string &path, const std::vector<std::string_view> &names) {
        for (const auto &[k, v] : obj.items())
            if (std::find(names.begin(), names.end(), k) == names.end())
                problem(path.empty() ? k : path + "." + k, "unknown member");
    }

    bool object(const Json &j, const std::string &path) {
        if (j.is_object()) return true;
        problem(path, "must be an object");
        return false;
    }

    bool flag(const Json &j, const std::string &path, const char *field) {
        if (!j.contains(field) || j[field].is_null()) return true;
        if (j[field].is_boolean()) return j[field].get<bool>();
        problem(path + "." + field, "must be true or false");
        return true;
    }

    std::optional<std::string> secret(const Json &j, const std::string &path, const char *field) {
        return text(j, path, field, kMaxSecret, false);
    }

    // The length a file name or index line of these names takes must fit.
    void fits(const std::string &path, std::size_t length, std::size_t max, const char *what) {
        if (length > max)
            problem(path, std::string("the names make ") + what + " of " + std::to_string(length) +
                              " bytes; at most " + std::to_string(max) + " fit");
    }

    UserEntry user(const Json &j, const std::string &path) {
        UserEntry u;
        if (!object(j, path)) return u;
        const auto &f = user_family();
        allow(j, path, members_of(f, {"enabled", "password", "login_types", "credentials"}));
        u.s = scalars(j, path, f);
        u.enabled = flag(j, path, "enabled");
        u.password = secret(j, path, "password");
        if (j.contains("login_types") && !j["login_types"].is_null()) {
            const Json &lt = j["login_types"];
            if (!lt.is_array()) {
                problem(path + ".login_types", "must be an array of strings or null");
            } else {
                u.login_types.emplace();
                // The plug-in joins them with ';' into a 250-byte buffer and drops what does not fit.
                long long budget = kLoginTypesBuffer - 1;
                for (std::size_t i = 0; i < lt.size(); ++i) {
                    const std::string where = path + ".login_types[" + std::to_string(i) + "]";
                    auto t = text_bytes(lt[i]);
                    if (!t || t->find_first_of(std::string(";\n\0", 3)) != std::string::npos) {
                        problem(where, "must be a string without ';', line break or NUL");
                        continue;
                    }
                    budget -= 1;
                    if (static_cast<long long>(t->size()) >= budget) problem(where, "does not fit the login-type line");
                    budget -= static_cast<long long>(t->size());
                    u.login_types->push_back(*t);
                }
                if (u.login_types->size() == 1 && u.login_types->front().empty())
                    problem(path + ".login_types", "a single empty login type reads back as none");
            }
        }
        if (j.contains("credentials") && !j["credentials"].is_null()) {
            if (!j["credentials"].is_array()) {
                problem(path + ".credentials", "must be an array");
            } else {
                const auto &cf = rescreds_family();
                for (std::size_t i = 0; i < j["credentials"].size(); ++i) {
                    const Json &c = j["credentials"][i];
                    const std::string where = path + ".credentials[" + std::to_string(i) + "]";
                    if (!object(c, where)) continue;
                    allow(c, where, members_of(cf, {"text"}));
                    CredEntry e{scalars(c, where, cf), secret(c, where, "text")};
                    if (!u.enabled) problem(where, "a disabled user keeps no credentials");
                    u.creds.push_back(std::move(e));
                }
            }
        }

        const std::string d = key(u.s, 0), id = key(u.s, 1);
        auto &rgy = u.s.texts[0];
        if (!rgy) rgy = id + "@" + d;  // as `user create` does
        const auto &uuid = text_of(f, u.s, "uuid");
        const auto &dn = text_of(f, u.s, "cert_dn");
        if (rgy->empty()) problem(path + ".registry_id", "must not be empty");
        if (uuid && uuid->empty()) problem(path + ".uuid", "must not be empty (leave it out for a new one)");
        fits(path, d.size() + 1 + id.size() + 14, kMaxFileName, "a user file name (with \"_blob_T\")");
        fits(path + ".registry_id", rgy->size() + 5, kMaxFileName, "a disabled user file name");
        fits(path, d.size() + 1 + id.size() + 4 + (uuid ? uuid->size() : kUuidTextLen) + rgy->size(), kMaxListEntry,
             "a user-list line");
        if (dn && !dn->empty())
            fits(path + ".cert_dn", d.size() + 2 + id.size() + dn->size(), kMaxListEntry, "a certificate-DN line");
        for (auto &c : u.creds) {
            const std::string n = key(c.s, 0);
            fits(c.s.path, d.size() + id.size() + n.size() + 2 + 11 + 7, kMaxFileName,
                 "a credential file name (with \"_blob_T\")");
            fits(c.s.path, d.size() + 1 + id.size() + 11 + 2, kMaxFileName, "a credential list name");
            fits(c.s.path, d.size() + id.size() + n.size() + 2, kMaxListEntry, "a credential-list line");
        }
        return u;
    }

    GroupEntry group(const Json &j, const std::string &path) {
        GroupEntry g;
        if (!object(j, path)) return g;
        const auto &f = group_family();
        allow(j, path, members_of(f, {"enabled", "members"}));
        g.s = scalars(j, path, f);
        g.enabled = flag(j, path, "enabled");
        if (j.contains("members") && !j["members"].is_null()) {
            if (!j["members"].is_array()) {
                problem(path + ".members", "must be an array");
            } else {
                for (std::size_t i = 0; i < j["members"].size(); ++i) {
                    const Json &m = j["members"][i];
                    const std::string where = path + ".members[" + std::to_string(i) + "]";
                    if (!object(m, where)) continue;
                    allow(m, where, {"domain", "user_id"});
                    auto d = name(m, where, "domain");
                    auto u = name(m, where, "user_id");
                    if (d && u) g.members.emplace_back(lower(*d), lower(*u));
                }
            }
        }
        const std::string d = key(g.s, 0), id = key(g.s, 1);
        const auto &rgy = g.s.texts[0];
        const auto &uuid = text_of(f, g.s, "uuid");
        if (!rgy || rgy->empty()) problem(path + ".registry_id", "is required: it names the disabled group file");
        if (uuid && uuid->empty()) problem(path + ".uuid", "must not be empty (leave it out for a new one)");
        if (uuid && uuid->find("  ") != std::string::npos) problem(path + ".uuid", "must not hold a double blank");
        const std::size_t names = d.size() + 1 + id.size();
        fits(path, names + 8 + 7, kMaxFileName, "a group file name (with \"_blob_T\")");
        fits(path, names + 10 + 2, kMaxFileName, "a members file name");
        fits(path, names + 4 + (uuid ? uuid->size() : kUuidTextLen) + (rgy ? rgy->size() : 0), kMaxListEntry,
             "a group-list line");
        if (rgy) fits(path + ".registry_id", rgy->size() + 6, kMaxFileName, "a disabled group file name");
        return g;
    }

    Scalars policy(const Json &j, const std::string &path) {
        if (!object(j, path)) return {};
        const auto &f = policy_family();
        allow(j, path, members_of(f, {}));
        Scalars s = scalars(j, path, f);
        const std::size_t names = key(s, 0).size() + 1 + key(s, 1).size();
        fits(path, names + 9 + 7, kMaxFileName, "a policy file name (with \"_blob_T\")");
        fits(path, names, kMaxListEntry, "a policy-list line");
        return s;
    }

    Scalars resource(const Json &j, const std::string &path) {
        if (!object(j, path)) return {};
        const auto &f = resource_family();
        allow(j, path, members_of(f, {}));
        Scalars s = scalars(j, path, f);
        fits(path, key(s, 0).size() + 11 + 7, kMaxFileName, "a resource file name (with \"_blob_T\")");
        return s;
    }

    ResgroupEntry resgroup(const Json &j, const std::string &path) {
        ResgroupEntry g;
        if (!object(j, path)) return g;
        const auto &f = resgroup_family();
        allow(j, path, members_of(f, {"members"}));
        g.s = scalars(j, path, f);
        if (j.contains("members") && !j["members"].is_null()) {
            if (!j["members"].is_array()) {
                problem(path + ".members", "must be an array");
            } else {
                for (std::size_t i = 0; i < j["members"].size(); ++i) {
                    auto m = text_bytes(j["members"][i]);
                    if (!m || m->empty() || m->find_first_of(std::string(" \n\0", 3)) != std::string::npos)
                        problem(path + ".members[" + std::to_string(i) + "]", "must be a resource name");
                    else
                        g.members.push_back(lower(*m));
                }
            }
        }
        fits(path, key(g.s, 0).size() + 11 + 7, kMaxFileName, "a resource-group file name (with \"_blob_T\")");
        return g;
    }

    // Each name must be unique as the file it becomes; registry ids and UUIDs
    // as the lookups see them; members must name entries of the document.
    class Unique {
    public:
        Unique(Checker &c, const char *what) : c_(c), what_(what) {}
        void add(const std::string &value, const std::string &path) {
            auto [it, fresh] = seen_.emplace(value, path);
            if (!fresh) c_.problem(path, std::string("the same ") + what_ + " as " + it->second);
        }
        bool has(const std::string &value) const { return seen_.count(value) != 0; }

    private:
        Checker &c_;
        const char *what_;
        std::unordered_map<std::string, std::string> seen_;
    };

    void cross_check(const Document &doc) {
        Unique user_files(*this, "user file"), user_rgy(*this, "registry id"), user_uuid(*this, "UUID"),
            cred_files(*this, "credential file"), group_files(*this, "group file"), group_rgy(*this, "registry id"),
            group_uuid(*this, "UUID"), policy_files(*this, "policy file"), resource_files(*this, "resource file"),
            resgroup_files(*this, "resource-group file");
        std::set<std::pair<std::string, std::string>> users;
        for (const auto &u : doc.users) {
            const std::string d = key(u.s, 0), id = key(u.s, 1);
            users.emplace(d, id);
            user_files.add(sanitised(user_file_name(d, id)), u.s.path);
            if (u.s.texts[0]) user_rgy.add(lower(sanitised(*u.s.texts[0])), u.s.path + ".registry_id");
            if (const auto &uuid = text_of(user_family(), u.s, "uuid")) user_uuid.add(lower(*uuid), u.s.path + ".uuid");
            for (const auto &c : u.creds) cred_files.add(sanitised(rescreds_file_name(d, id, key(c.s, 0))), c.s.path);
        }
        for (const auto &g : doc.groups) {
            group_files.add(sanitised(group_file_name(key(g.s, 0), key(g.s, 1))), g.s.path);
            if (g.s.texts[0]) group_rgy.add(lower(sanitised(*g.s.texts[0])), g.s.path + ".registry_id");
            if (const auto &uuid = text_of(group_family(), g.s, "uuid")) group_uuid.add(lower(*uuid), g.s.path + ".uuid");
            std::set<std::pair<std::string, std::string>> seen;
            for (std::size_t i = 0; i < g.members.size(); ++i) {
                const std::string where = g.s.path + ".members[" + std::to_string(i) + "]";
                if (!users.count(g.members[i])) problem(where, "names no user of the document");
                if (!seen.insert(g.members[i]).second) problem(where, "is listed twice");
            }
        }
        for (const auto &p : doc.policies) policy_files.add(sanitised(policy_file_name(key(p, 0), key(p, 1))), p.path);
        std::set<std::string> resources;
        for (const auto &r : doc.resources) {
            resources.insert(key(r, 0));
            resource_files.add(sanitised(resource_file_name(key(r, 0))), r.path);
        }
        for (const auto &g : doc.resgroups) {
            resgroup_files.add(sanitised(resgroup_file_name(key(g.s, 0))), g.s.path);
            std::set<std::string> seen;
            for (std::size_t i = 0; i < g.members.size(); ++i) {
                const std::string where = g.s.path + ".members[" + std::to_string(i) + "]";
                if (!resources.count(g.members[i])) problem(where, "names no resource of the document");
                if (!seen.insert(g.members[i]).second) problem(where, "is listed twice");
            }
        }
    }
};

// ---------------------------------------------------------------------------
// Writing.

// A progress bar on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), on_(total > 0 && ::isatty(STDERR_FILENO)) {}
    ~Progress() {
        if (on_ && shown_) std::fputc('\n', stderr);
    }
    void step() {
        ++done_;
        if (!on_) return;
        const auto now = std::chrono::steady_clock::now();
        if (done_ != total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(kWidth * done_ / total_);
        std::fprintf(stderr, "\rimport [%s%s] %3d%% %zu/%zu", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), static_cast<int>(100 * done_ / total_), done_, total_);
        std::fflush(stderr);
        shown_ = true;
    }

private:
    std::size_t total_, done_ = 0;
    bool on_, shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

// The outcome of one entry of the document.
struct Outcome {
    Outcome(const char *w, std::string n) : what(w), name(std::move(n)) {}
    const char *what;  // "user"
    std::string name;  // "corp ann"
    std::string op;    // the failed operation, empty when created
    uint32_t rc = 0;
    std::string error;  // a failure of the tool itself
    bool ok() const { return op.empty() && error.empty(); }
};

// A UUID to put back into a record the plug-in gave a fresh one.
struct UuidFix {
    Outcome *entry;
    std::string file;
    std::size_t line;  // 0-based
    std::string made, wanted;
};

template <class R>
void fill(const Family<R> &f, const Scalars &s, R *r) {
    for (std::size_t i = 0; i < f.keys.size(); ++i)
        if (s.keys[i]) set_str(r->*f.keys[i].member, *s.keys[i]);
    for (std::size_t i = 0; i < f.texts.size(); ++i)
        if (s.texts[i]) set_str(r->*f.texts[i].member, *s.texts[i]);
    for (std::size_t i = 0; i < f.u32s.size(); ++i) r->*f.u32s[i].member = s.u32s[i];
    for (std::size_t i = 0; i < f.i32s.size(); ++i) r->*f.i32s[i].member = s.i32s[i];
    if (s.blob && !s.blob->empty())
        r->blob = make_blob(std::vector<unsigned char>(s.blob->begin(), s.blob->end())).release();
}

std::string joined(const Scalars &s) {
    std::string out;
    for (const auto &k : s.keys) out += (out.empty() ? "" : " ") + (k ? lower(*k) : std::string());
    return out;
}

class Importer {
public:
    Importer(Host &host, const Document &doc) : host_(host), doc_(doc) {}

    std::vector<Outcome> run() {
        std::size_t steps = doc_.resources.size() + doc_.resgroups.size() + doc_.policies.size();
        for (const auto &u : doc_.users) steps += 1 + u.creds.size() + (u.enabled ? 0 : 1);
        for (const auto &g : doc_.groups) steps += 1 + g.members.size() + (g.enabled ? 0 : 1);
        Progress progress(steps);
        progress_ = &progress;

        // Report order: users (each followed by its credentials), groups, policies, resources, resource groups.
        std::vector<Outcome> users, groups, policies, resources, resgroups;
        std::vector<std::vector<Outcome>> creds(doc_.users.size());
        resources.reserve(doc_.resources.size());
        for (const auto &r : doc_.resources) resources.push_back(resource(r));
        for (const auto &g : doc_.resgroups) resgroups.push_back(resgroup(g));
        for (const auto &p : doc_.policies) policies.push_back(policy(p));
        users.reserve(doc_.users.size());
        for (std::size_t i = 0; i < doc_.users.size(); ++i) {
            users.push_back(user(doc_.users[i]));
            creds[i].reserve(doc_.users[i].creds.size());
            for (const auto &c : doc_.users[i].creds) creds[i].push_back(credential(doc_.users[i], users.back(), c));
        }
        groups.reserve(doc_.groups.size());
        for (const auto &g : doc_.groups) groups.push_back(group(g));
        // Members are added while their users and groups are enabled.
        for (std::size_t i = 0; i < doc_.users.size(); ++i)
            if (!doc_.users[i].enabled)
                call(users[i], "rspi_disable_user", [&] {
                    auto u = keys<rspi_user>(user_family(), doc_.users[i].s);
                    return sym<decltype(rspi_disable_user)>("rspi_disable_user")(host_.h, u.get());
                });
        for (std::size_t i = 0; i < doc_.groups.size(); ++i)
            if (!doc_.groups[i].enabled)
                call(groups[i], "rspi_disable_group", [&] {
                    auto g = keys<rspi_group>(group_family(), doc_.groups[i].s);
                    return sym<decltype(rspi_disable_group)>("rspi_disable_group")(host_.h, g.get());
                });
        restore_uuids();

        std::vector<Outcome> all;
        for (std::size_t i = 0; i < users.size(); ++i) {
            all.push_back(std::move(users[i]));
            for (auto &c : creds[i]) all.push_back(std::move(c));
        }
        for (auto *part : {&groups, &policies, &resources, &resgroups})
            for (auto &o : *part) all.push_back(std::move(o));
        return all;
    }

private:
    template <class F>
    F *sym(const char *name) {
        return host_.sym<F>(name);
    }

    // Runs one step of an entry that has not failed yet.
    template <class Op>
    void call(Outcome &o, const char *op, Op body) {
        progress_->step();
        if (!o.ok()) return;
        const uint32_t rc = body();
        if (rc != RSPI_RC_SUCCESS) {
            o.op = op;
            o.rc = rc;
        }
    }

    template <class R>
    static Owned<R> fresh();
    template <class R>
    Owned<R> keys(const Family<R> &f, const Scalars &s) {
        auto r = fresh<R>();
        for (std::size_t i = 0; i < f.keys.size(); ++i) set_str(r.get()->*f.keys[i].member, *s.keys[i]);
        return r;
    }
    template <class R>
    Owned<R> record(const Family<R> &f, const Scalars &s) {
        auto r = fresh<R>();
        fill(f, s, r.get());
        return r;
    }

    // The plug-in gives these families a new UUID on create; a UUID of the
    // document is written into the record afterwards.
    template <class R>
    void keep_uuid(Outcome &o, const Family<R> &f, const Scalars &s, const R *made, std::string file, std::size_t line) {
        const auto &wanted = text_of(f, s, "uuid");
        if (!o.ok() || !wanted || !made->uuid_string || *wanted == made->uuid_string) return;
        fixes_.push_back({&o, std::move(file), line, made->uuid_string, *wanted});
    }

    Outcome resource(const Scalars &s) {
        Outcome o{resource_family().what, joined(s)};
        auto r = record(resource_family(), s);
        call(o, "rspi_create_resource",
             [&] { return sym<decltype(rspi_create_resource)>("rspi_create_resource")(host_.h, r.get()); });
        keep_uuid(o, resource_family(), s, r.get(), resource_file_name(key(s, 0)), 4);
        return o;
    }

    Outcome resgroup(const ResgroupEntry &g) {
        Outcome o{resgroup_family().what, joined(g.s)};
        auto r = record(resgroup_family(), g.s);
        if (!g.members.empty()) {
            r->members = own(rspi_alloc_resgroupmembers(static_cast<int32_t>(g.members.size()))).release();
            for (std::size_t i = 0; i < g.members.size(); ++i) set_str(r->members->names[i], g.members[i]);
        }
        call(o, "rspi_create_resgroup",
             [&] { return sym<decltype(rspi_create_resgroup)>("rspi_create_resgroup")(host_.h, r.get()); });
        keep_uuid(o, resgroup_family(), g.s, r.get(), resgroup_file_name(key(g.s, 0)), 4);
        return o;
    }

    Outcome policy(const Scalars &s) {
        Outcome o{policy_family().what, joined(s)};
        auto p = record(policy_family(), s);
        call(o, "rspi_create_policy",
             [&] { return sym<decltype(rspi_create_policy)>("rspi_create_policy")(host_.h, p.get()); });
        keep_uuid(o, policy_family(), s, p.get(), policy_file_name(key(s, 0), key(s, 1)), 5);
        return o;
    }

    Outcome user(const UserEntry &e) {
        Outcome o{user_family().what, joined(e.s)};
        auto u = record(user_family(), e.s);
        if (e.login_types && !e.login_types->empty()) {
            u->login_types = own(rspi_alloc_logintypes(static_cast<int32_t>(e.login_types->size()))).release();
            for (std::size_t i = 0; i < e.login_types->size(); ++i) set_str(u->login_types->types[i], (*e.login_types)[i]);
        }
        if (e.password) u->password = make_password(*e.password).release();
        call(o, "rspi_create_user", [&] { return sym<decltype(rspi_create_user)>("rspi_create_user")(host_.h, u.get()); });
        return o;
    }

    Outcome credential(const UserEntry &u, const Outcome &user, const CredEntry &c) {
        Outcome o{rescreds_family().what, joined(u.s) + " " + joined(c.s)};
        if (!user.ok()) o.error = "its user was not created";
        auto owner = keys(user_family(), u.s);
        auto r = record(rescreds_family(), c.s);
        if (c.text) r->password = make_password(*c.text).release();
        call(o, "rspi_create_rescreds", [&] {
            return sym<decltype(rspi_create_rescreds)>("rspi_create_rescreds")(host_.h, owner.get(), r.get());
        });
        keep_uuid(o, rescreds_family(), c.s, r.get(), rescreds_file_name(key(u.s, 0), key(u.s, 1), key(c.s, 0)), 4);
        return o;
    }

    Outcome group(const GroupEntry &e) {
        Outcome o{group_family().what, joined(e.s)};
        auto g = record(group_family(), e.s);
        call(o, "rspi_create_group",
             [&] { return sym<decltype(rspi_create_group)>("rspi_create_group")(host_.h, g.get()); });
        auto add = sym<decltype(rspi_add_group_member)>("rspi_add_group_member");
        for (const auto &member : e.members)
            call(o, "rspi_add_group_member", [&] {
                auto u = own(rspi_alloc_user());
                set_str(u->domain, member.first);
                set_str(u->user_id, member.second);
                return add(host_.h, g.get(), u.get());
            });
        return o;
    }

    // Writes the document's UUIDs into the records made above, under the
    // registry's write lock and the way the plug-in writes a record
    // ("<file>_T", then a rename). A record whose UUID line is no longer the
    // one the plug-in made (changed meanwhile) is left alone and reported.
    void restore_uuids() {
        if (fixes_.empty()) return;
        check::Registry reg(*host_.h);
        reg.lock();
        for (auto &fix : fixes_) {
            const std::string name = sanitised(fix.file);
            std::string data;
            try {
                if (!reg.read(name, data)) throw check::IoError(reg.path(name) + " is gone");
                std::size_t start = 0;
                for (std::size_t i = 0; i < fix.line && start != std::string::npos; ++i) {
                    start = data.find('\n', start);
                    if (start != std::string::npos) ++start;
                }
                const std::size_t end = start == std::string::npos ? start : data.find('\n', start);
                if (end == std::string::npos || data.compare(start, end - start, fix.made) != 0)
                    throw check::IoError(reg.path(name) + " changed before its UUID could be set");
                data.replace(start, end - start, fix.wanted);
                reg.replace(name, data);
            } catch (const check::IoError &e) {
                fix.entry->error = std::string("UUID not kept: ") + e.what();
            }
        }
    }

    Host &host_;
    const Document &doc_;
    Progress *progress_ = nullptr;
    std::vector<UuidFix> fixes_;
};

template <>
Owned<rspi_user> Importer::fresh<rspi_user>() {
    auto u = own(rspi_alloc_user());
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}
template <>
Owned<rspi_group> Importer::fresh<rspi_group>() {
    auto g = own(rspi_alloc_group());
    g->state = 2;
    return g;
}
template <>
Owned<rspi_policy> Importer::fresh<rspi_policy>() {
    return own(rspi_alloc_policy());
}
template <>
Owned<rspi_resource> Importer::fresh<rspi_resource>() {
    return own(rspi_alloc_resource());
}
template <>
Owned<rspi_resgroup> Importer::fresh<rspi_resgroup>() {
    return own(rspi_alloc_resgroup());
}
template <>
Owned<rspi_rescreds> Importer::fresh<rspi_rescreds>() {
    return own(rspi_alloc_rescreds());
}

Json parse_file(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error("cannot read " + file);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw Error("cannot read " + file + " in full");
    try {
        return Json::parse(text.str());
    } catch (const Json::parse_error &e) {
        throw Error(file + " is not JSON: " + e.what());
    }
}

void report(Host &host, const std::vector<Outcome> &all) {
    std::size_t failed = 0;
    Json out = Json::array();
    for (const auto &o : all) {
        const RcInfo *info = o.op.empty() ? nullptr : rc_info(o.rc);
        if (host.json) {
            Json j{{"entry", o.what}, {"name", text_json(o.name)}, {"result", o.ok() ? "created" : "failed"}};
            if (!o.op.empty()) {
                j["operation"] = o.op;
                j["rc"] = o.rc;
                j["rc_name"] = info ? info->name : "unknown";
            }
            if (!o.error.empty()) j["error"] = o.error;
            out.push_back(std::move(j));
        } else if (o.ok()) {
            std::cout << "created " << o.what << " " << o.name << "\n";
        } else {
            std::cout << "failed  " << o.what << " " << o.name << ": "
                      << (o.op.empty() ? o.error : o.op + ": rc = " + rc_text(o.rc)) << "\n";
        }
        if (!o.ok()) {
            ++failed;
            host.fail(o.op.empty() ? kExitError : static_cast<int>(o.rc));
        }
    }
    if (host.json)
        host.print(out);
    else
        std::cout << "import: " << all.size() << " entries, " << all.size() - failed << " created, " << failed
                  << " failed\n";
}

}  // namespace

void add_import_command(Command &app, Host &host) {
    auto file = std::make_shared<std::string>();
    auto *c = app.add_subcommand(
        "import", "Load a JSON export document through the plug-in: the whole document is checked before the "
                  "first write; each entry is then reported as created or failed with its return code "
                  "(as a JSON array with --json before `import`)");
    c->add_option("file", *file, "The document, as `tolvadm export` writes it")->required();
    c->callback([&host, file] {
        Checker checker;
        const Document doc = checker.read(parse_file(*file));
        if (!checker.problems.empty()) {
            constexpr std::size_t kShown = 50;
            for (std::size_t i = 0; i < checker.problems.size() && i < kShown; ++i)
                std::cerr << "import: " << *file << ": " << checker.problems[i] << "\n";
            if (checker.problems.size() > kShown)
                std::cerr << "import: ... and " << checker.problems.size() - kShown << " more\n";
            throw Error(*file + " has " + std::to_string(checker.problems.size()) +
                        " problem(s); nothing was written");
        }
        host.open();
        report(host, Importer(host, doc).run());
    });
}

}  // namespace tolvadm::xport
