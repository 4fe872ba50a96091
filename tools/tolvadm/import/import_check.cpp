// import_check.cpp - the first half of `tolvadm import`: reads the document
// and checks all of it before anything is written: its shape and types, that
// every name, text and line fits the registry's files, that no two entries
// become the same file, registry id or UUID, and that members name entries
// of the document.
#include <algorithm>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <unordered_map>

#include "import_document.h"

namespace tolvadm::xport {

namespace {

// The bounds of the registry files (names without their directory).
constexpr std::size_t kMaxFileName = 255;   // one path component
constexpr std::size_t kMaxListEntry = 248;  // an index line without its newline
constexpr std::size_t kMaxText = 998;       // a record line without its newline
constexpr std::size_t kMaxSecret = 99;      // a stored password or credential text
constexpr std::size_t kUuidTextLen = 36;    // a UUID the plug-in makes
constexpr std::size_t kLoginTypesBuffer = 250;
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
        doc.without_secrets = root.contains("secrets") && root["secrets"].is_boolean() && !root["secrets"].get<bool>();
        each(root, "", user_family().plural, [&](const Json &j, const std::string &p) { doc.users.push_back(user(j, p)); });
        each(root, "", group_family().plural,
             [&](const Json &j, const std::string &p) { doc.groups.push_back(group(j, p)); });
        each(root, "", policy_family().plural,
             [&](const Json &j, const std::string &p) { doc.policies.push_back(policy(j, p)); });
        each(root, "", resource_family().plural,
             [&](const Json &j, const std::string &p) { doc.resources.push_back(resource(j, p)); });
        each(root, "", resgroup_family().plural,
             [&](const Json &j, const std::string &p) { doc.resgroups.push_back(resgroup(j, p)); });
        cross_check(doc);
        return doc;
    }

private:
    void problem(const std::string &path, const std::string &what) {
        problems.push_back(path.empty() ? what : path + ": " + what);
    }

    // f(item, "path.name[i]") for each item of the array obj.name; a missing or null one has none.
    template <class F>
    void each(const Json &obj, const std::string &path, const char *name, F f, const char *bad = "must be an array") {
        if (!obj.contains(name) || obj[name].is_null()) return;
        const std::string where = path.empty() ? name : path + "." + name;
        if (!obj[name].is_array()) return problem(where, bad);
        const Json &arr = obj[name];
        for (std::size_t i = 0; i < arr.size(); ++i) f(arr[i], where + "[" + std::to_string(i) + "]");
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
        // The plug-in joins them with ';' into a 250-byte buffer and drops what does not fit.
        long long budget = kLoginTypesBuffer - 1;
        each(
            j, path, "login_types",
            [&](const Json &lt, const std::string &where) {
                auto t = text_bytes(lt);
                if (!t || t->find_first_of(std::string(";\n\0", 3)) != std::string::npos)
                    return problem(where, "must be a string without ';', line break or NUL");
                budget -= 1;
                if (static_cast<long long>(t->size()) >= budget) problem(where, "does not fit the login-type line");
                budget -= static_cast<long long>(t->size());
                u.login_types.push_back(*t);
            },
            "must be an array of strings or null");
        if (u.login_types.size() == 1 && u.login_types.front().empty())
            problem(path + ".login_types", "a single empty login type reads back as none");
        each(j, path, "credentials", [&](const Json &c, const std::string &where) {
            if (!object(c, where)) return;
            const auto &cf = rescreds_family();
            allow(c, where, members_of(cf, {"text"}));
            CredEntry e{scalars(c, where, cf), secret(c, where, "text")};
            if (!u.enabled) problem(where, "a disabled user keeps no credentials");
            u.creds.push_back(std::move(e));
        });

        const std::string d = key(u.s, 0), id = key(u.s, 1);
        auto &rgy = u.s.texts[text_index(f, "registry_id")];
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
        each(j, path, "members", [&](const Json &m, const std::string &where) {
            if (!object(m, where)) return;
            allow(m, where, {"domain", "user_id"});
            auto d = name(m, where, "domain");
            auto u = name(m, where, "user_id");
            if (!d || !u) return;
            g.members.emplace_back(lower(*d), lower(*u));
            g.member_paths.push_back(where);
        });
        const std::string d = key(g.s, 0), id = key(g.s, 1);
        const auto &rgy = text_of(f, g.s, "registry_id");
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
        each(j, path, "members", [&](const Json &mj, const std::string &where) {
            auto m = text_bytes(mj);
            if (!m || m->empty() || m->find_first_of(std::string(" \n\0", 3)) != std::string::npos)
                problem(where, "must be a resource name");
            else {
                g.members.push_back(lower(*m));
                g.member_paths.push_back(where);
            }
        });
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
            if (const auto &rgy = text_of(user_family(), u.s, "registry_id"))
                user_rgy.add(lower(sanitised(*rgy)), u.s.path + ".registry_id");
            if (const auto &uuid = text_of(user_family(), u.s, "uuid")) user_uuid.add(lower(*uuid), u.s.path + ".uuid");
            for (const auto &c : u.creds) cred_files.add(sanitised(rescreds_file_name(d, id, key(c.s, 0))), c.s.path);
        }
        for (const auto &g : doc.groups) {
            group_files.add(sanitised(group_file_name(key(g.s, 0), key(g.s, 1))), g.s.path);
            if (const auto &rgy = text_of(group_family(), g.s, "registry_id"))
                group_rgy.add(lower(sanitised(*rgy)), g.s.path + ".registry_id");
            if (const auto &uuid = text_of(group_family(), g.s, "uuid")) group_uuid.add(lower(*uuid), g.s.path + ".uuid");
            std::set<std::pair<std::string, std::string>> seen;
            for (std::size_t i = 0; i < g.members.size(); ++i) {
                const std::string &where = g.member_paths[i];
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
                const std::string &where = g.member_paths[i];
                if (!resources.count(g.members[i])) problem(where, "names no resource of the document");
                if (!seen.insert(g.members[i]).second) problem(where, "is listed twice");
            }
        }
    }
};

Json parse_file(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error("cannot read " + file);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw Error("cannot read " + file + " in full");
    try {
        return Json::parse(text.str());
    } catch (const Json::parse_error &e) {
        throw Error(file + " is refused: " + e.what());
    }
}

}  // namespace

Document read_document(const std::string &file, std::vector<std::string> &problems) {
    Checker checker;
    Document doc = checker.read(parse_file(file));
    problems = std::move(checker.problems);
    return doc;
}

}  // namespace tolvadm::xport
