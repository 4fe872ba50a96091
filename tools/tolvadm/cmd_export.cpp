// cmd_export.cpp - `tolvadm export`: the whole registry as one JSON document
// (or LDIF), read through the plug-in's listings and gets as any host reads
// it; only what the interface cannot return is read from the files.
#include "cmd_export.h"
#include "tolvadmin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>

#include "regfiles.h"
#include "family_cmds.h"

namespace tolvadm::xport {

namespace fmt = tolv::format;

// ---------------------------------------------------------------------------
// Texts.

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

Json text_json(std::string_view bytes) {
    if (valid_utf8(bytes)) return Json(std::string(bytes));
    return Json{{"base64", base64(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size())}};
}

Json text_json(const char *s) { return s ? text_json(std::string_view(s)) : Json(nullptr); }

std::optional<std::string> unbase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
            } else if (pad > 0 || (v[k] = value(c)) < 0) {
                return std::nullopt;
            }
        }
        const uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out += static_cast<char>(n >> 16);
        if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(n & 0xFF);
    }
    return out;
}

std::optional<std::string> text_bytes(const Json &v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_object() && v.size() == 1 && v.contains("base64") && v["base64"].is_string())
        return unbase64(v["base64"].get<std::string>());
    return std::nullopt;
}

Json blob_json(const rspi_blob *blob) {
    if (!blob || blob->length == 0) return nullptr;
    return base64(blob->data, blob->length);
}

// ---------------------------------------------------------------------------
// The families.

const Family<rspi_user> &user_family() {
    static const Family<rspi_user> f{
        "users",
        "user",
        {{"domain", &rspi_user::domain}, {"user_id", &rspi_user::user_id}},
        {{"registry_id", &rspi_user::registry_id},
         {"uuid", &rspi_user::uuid_string},
         {"description", &rspi_user::description},
         {"cert_dn", &rspi_user::cert_dn},
         {"text_1", &rspi_user::text_1},
         {"text_2", &rspi_user::text_2},
         {"text_3", &rspi_user::text_3},
         {"text_4", &rspi_user::text_4},
         {"text_5", &rspi_user::text_5}},
        {{"number_1", &rspi_user::number_1, 0},
         {"ulong_1", &rspi_user::ulong_1, 0},
         {"ulong_2", &rspi_user::ulong_2, 0},
         {"ulong_3", &rspi_user::ulong_3, 0}},
        {{"flag_1", &rspi_user::flag_1, 2}, {"account_valid", &rspi_user::account_valid, 2},
         {"number_2", &rspi_user::number_2, -1}}};
    return f;
}

const Family<rspi_group> &group_family() {
    static const Family<rspi_group> f{
        "groups",
        "group",
        {{"domain", &rspi_group::domain}, {"group_id", &rspi_group::group_id}},
        {{"registry_id", &rspi_group::registry_id},
         {"uuid", &rspi_group::uuid_string},
         {"description", &rspi_group::description}},
        {{"attribute", &rspi_group::attribute, 0}, {"state", &rspi_group::state, 2}},
        {}};
    return f;
}

const Family<rspi_policy> &policy_family() {
    static const Family<rspi_policy> f = [] {
        Family<rspi_policy> p{"policies",
                              "policy",
                              {{"domain", &rspi_policy::domain}, {"policy_id", &rspi_policy::policy_id}},
                              {{"uuid", &rspi_policy::uuid_string},
                               {"description", &rspi_policy::description},
                               {"text_1", &rspi_policy::text_1}},
                              {{"attribute", &rspi_policy::attribute, 0},
                               {"state", &rspi_policy::state, 2},
                               {"flag_2", &rspi_policy::flag_2, 2},
                               {"flag_3", &rspi_policy::flag_3, 2}},
                              {{"long_1", &rspi_policy::long_1, 0}}};
        static const char *const names[] = {"number_2",  "number_3",  "number_4",  "number_5",
                                            "number_6",  "number_7",  "number_8",  "number_9",
                                            "number_10", "number_11", "number_12", "number_13",
                                            "number_14", "number_15", "number_16", "number_17"};
        int32_t rspi_policy::*const members[] = {
            &rspi_policy::number_2,  &rspi_policy::number_3,  &rspi_policy::number_4,  &rspi_policy::number_5,
            &rspi_policy::number_6,  &rspi_policy::number_7,  &rspi_policy::number_8,  &rspi_policy::number_9,
            &rspi_policy::number_10, &rspi_policy::number_11, &rspi_policy::number_12, &rspi_policy::number_13,
            &rspi_policy::number_14, &rspi_policy::number_15, &rspi_policy::number_16, &rspi_policy::number_17};
        for (std::size_t i = 0; i < std::size(names); ++i) p.i32s.push_back({names[i], members[i], -1});
        return p;
    }();
    return f;
}

const Family<rspi_resource> &resource_family() {
    static const Family<rspi_resource> f{
        "resources",
        "resource",
        {{"name", &rspi_resource::name}},
        {{"uuid", &rspi_resource::uuid_string}, {"description", &rspi_resource::description}},
        {{"attribute", &rspi_resource::attribute, 0}, {"state", &rspi_resource::state, 2}},
        {}};
    return f;
}

const Family<rspi_resgroup> &resgroup_family() {
    static const Family<rspi_resgroup> f{
        "resource_groups",
        "resource group",
        {{"name", &rspi_resgroup::name}},
        {{"uuid", &rspi_resgroup::uuid_string}, {"description", &rspi_resgroup::description}},
        {{"attribute", &rspi_resgroup::attribute, 0}, {"state", &rspi_resgroup::state, 2}},
        {}};
    return f;
}

const Family<rspi_rescreds> &rescreds_family() {
    static const Family<rspi_rescreds> f{
        "credentials",
        "credential",
        {{"resource", &rspi_rescreds::name}},
        {{"uuid", &rspi_rescreds::uuid_string},
         {"description", &rspi_rescreds::description},
         {"text_1", &rspi_rescreds::text_1}},
        {{"attribute", &rspi_rescreds::attribute, 0}, {"state", &rspi_rescreds::state, 2}},
        {}};
    return f;
}

// ---------------------------------------------------------------------------
// Registry files.

std::string sanitised(std::string_view name) { return check::sanitised(name); }

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string registry_file(const std::string &dir, std::string_view name) { return dir + sanitised(name); }

std::optional<std::string> read_registry_file(const std::string &path) {
    // Only a regular file, never through a link: the directory may be shared.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw Error("cannot open " + path + ": " + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw Error(path + " is not a regular file");
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == data.size()) data.resize(data.size() + 4096);
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Error("cannot read " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    return data;
}

std::vector<std::string> record_lines(std::string_view data) {
    std::vector<std::string> out;
    for (auto line : check::record_lines(data)) out.emplace_back(line);
    return out;
}

long long number_line(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    long long v = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        v = v * 10 + (line[i] - '0');
        if (v > (1LL << 40)) break;  // far past any 32-bit field
    }
    return negative ? -v : v;
}

std::string user_file_name(std::string_view domain, std::string_view user_id) {
    return lower(domain) + "_" + lower(user_id) + std::string(fmt::kUserFile.suffix);
}
std::string group_file_name(std::string_view domain, std::string_view group_id) {
    return lower(domain) + "_" + lower(group_id) + std::string(fmt::kGroupFile.suffix);
}
std::string policy_file_name(std::string_view domain, std::string_view policy_id) {
    return lower(domain) + "_" + lower(policy_id) + std::string(fmt::kPolicyFile.suffix);
}
std::string resource_file_name(std::string_view name) { return lower(name) + std::string(fmt::kResourceFile.suffix); }
std::string resgroup_file_name(std::string_view name) { return lower(name) + std::string(fmt::kResgroupFile.suffix); }
std::string rescreds_file_name(std::string_view domain, std::string_view user_id, std::string_view name) {
    return lower(domain) + "_" + lower(user_id) + "_" + lower(name) + std::string(fmt::kRescredsFile.suffix);
}

namespace {

// ---------------------------------------------------------------------------
// Reading the registry.

// Entries sorted by their key bytes, so that a document does not depend on
// where a disabled entry happens to stand in its list.
struct Sorted {
    std::vector<std::pair<std::string, Json>> items;
    void add(std::string key, Json j) { items.emplace_back(std::move(key), std::move(j)); }
    Json array() {
        std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        Json out = Json::array();
        for (auto &[k, j] : items) out.push_back(std::move(j));
        return out;
    }
};

std::string sort_key(std::initializer_list<const char *> parts) {
    std::string k;
    for (const char *p : parts) k.append(p ? p : "").push_back('\0');
    return k;
}

// Calls a plug-in operation; a failure is reported and ends the export.
void must(Host &host, const char *op, uint32_t rc) {
    if (!host.report(op, rc)) throw Failed();
}

class Exporter {
public:
    Exporter(Host &host, bool secrets) : host_(host), dir_(*host.h), secrets_(secrets) {}

    Json run() {
        Json doc;
        doc["format"] = kFormat;
        doc["version"] = kVersion;
        doc["secrets"] = secrets_;
        doc["users"] = users();
        doc["groups"] = groups();
        doc["policies"] = policies();
        doc["resources"] = resources();
        doc["resource_groups"] = resgroups();
        return doc;
    }

private:
    // A walk with next until 5: each entry goes to visit.
    template <class List, class Rec, class Next, class Visit>
    void walk(const char *op, Next next, List *list, int32_t fetch, Visit visit) {
        for (;;) {
            Owned<Rec> r = own(alloc<Rec>());
            const uint32_t rc = next(host_.h, list, r.get(), fetch);
            if (rc == RSPI_RC_NO_MORE_ENTRIES) return;
            must(host_, op, rc);
            visit(r.get());
        }
    }
    template <class Rec>
    static Rec *alloc();

    Json user_json(const rspi_user *u, bool enabled) {
        Json j;
        put_fields(j, user_family(), u);
        j["enabled"] = enabled;
        j["login_types"] = u->login_types ? Json::array() : Json(nullptr);
        if (u->login_types)
            for (int32_t i = 0; i < u->login_types->count; ++i) j["login_types"].push_back(text_json(u->login_types->types[i]));
        j["blob"] = blob_json(u->blob);
        return j;
    }

    // The stored password: line 5 of the user file (get never returns it).
    std::string stored_password(const std::string &file) {
        const auto data = read_registry_file(registry_file(dir_, file));
        if (!data) throw Error("the user file " + registry_file(dir_, file) + " disappeared during the export");
        const auto lines = record_lines(*data);
        return lines.size() > 4 ? lines[4] : std::string();
    }

    Json credentials(const rspi_user *u) {
        auto keys = own(rspi_alloc_user());
        set_str(keys->domain, u->domain);
        set_str(keys->user_id, u->user_id);
        auto list = own(rspi_alloc_rescredslist());
        must(host_, "rspi_get_rescredslist",
             host_.sym<decltype(rspi_get_rescredslist)>("rspi_get_rescredslist")(host_.h, keys.get(), list.get()));
        Sorted out;
        walk<rspi_rescredslist, rspi_rescreds>(
            "rspi_next_rescreds", host_.sym<decltype(rspi_next_rescreds)>("rspi_next_rescreds"), list.get(), 1,
            [&](const rspi_rescreds *c) {
                Json j;
                put_fields(j, rescreds_family(), c);
                j["blob"] = blob_json(c->blob);
                if (secrets_)
                    j["text"] = c->password && c->password->data
                                    ? text_json(std::string_view(c->password->data, c->password->length))
                                    : Json("");
                out.add(sort_key({c->name}), std::move(j));
            });
        return out.array();
    }

    Json users() {
        Sorted out;
        auto list = own(rspi_alloc_userlist());
        auto get_list = host_.sym<decltype(rspi_get_userlist)>("rspi_get_userlist");
        auto next = host_.sym<decltype(rspi_next_user)>("rspi_next_user");
        must(host_, "rspi_get_userlist", get_list(host_.h, list.get(), 1, nullptr, nullptr, nullptr));
        walk<rspi_userlist, rspi_user>("rspi_next_user", next, list.get(), 1, [&](const rspi_user *u) {
            Json j = user_json(u, true);
            if (secrets_) j["password"] = text_json(stored_password(user_file_name(u->domain, u->user_id)));
            j["credentials"] = credentials(u);
            out.add(sort_key({u->domain, u->user_id, u->registry_id}), std::move(j));
        });

        // Disabled users: the listing gives their registry ids, the renamed file the rest.
        auto disabled = own(rspi_alloc_userlist());
        must(host_, "rspi_get_userlist", get_list(host_.h, disabled.get(), 2, nullptr, nullptr, nullptr));
        walk<rspi_userlist, rspi_user>("rspi_next_user", next, disabled.get(), 0, [&](const rspi_user *entry) {
            if (!entry->registry_id) return;
            auto u = disabled_user(entry->registry_id);
            Json j = user_json(u.get(), false);
            if (secrets_) j["password"] = text_json(u->password ? std::string(u->password->data, u->password->length) : std::string());
            j["credentials"] = Json::array();  // disabling deleted them
            out.add(sort_key({u->domain, u->user_id, u->registry_id}), std::move(j));
        });
        return out.array();
    }

    // Reads a record's blob file; a length of 0 means none.
    Owned<rspi_blob> blob_file(const std::string &record_file, long long length) {
        if (length <= 0) return nullptr;
        const std::string path = registry_file(dir_, record_file + std::string(fmt::kBlobSuffix));
        const auto data = read_registry_file(path);
        if (!data || data->size() != static_cast<unsigned long long>(length))
            throw Error(path + " is missing or not of the length its record names");
        return make_blob(std::vector<unsigned char>(data->begin(), data->end()));
    }

    // The record of a disabled entry: "<registry id><suffix>" read as the plug-in reads it.
    std::vector<std::string> disabled_record(const std::string &registry_id, std::string_view suffix, std::size_t lines) {
        const std::string path = registry_file(dir_, registry_id + std::string(suffix));
        const auto data = read_registry_file(path);
        if (!data) throw Error("the disabled entry " + registry_id + " has no file " + path);
        auto out = record_lines(*data);
        if (out.size() < lines || out[0].empty() || out[1].empty())
            throw Error(path + " is shorter than its format (rc = " + rc_text(RSPI_RC_MALFORMED_ENTRY) + ")");
        return out;
    }

    Owned<rspi_user> disabled_user(const std::string &registry_id) {
        const auto l = disabled_record(registry_id, fmt::kDisabledUserSuffix, fmt::kUserFile.min_lines);
        long long blob_length;
        auto u = FamilyOps<rspi_user>::from_lines(l, blob_length);
        u->blob = blob_file(user_file_name(l[1], l[0]), blob_length).release();
        return u;
    }

    // Members as {"domain", "user_id"}, sorted.
    static Json members_json(std::vector<std::pair<std::string, std::string>> members) {
        std::sort(members.begin(), members.end());
        Json out = Json::array();
        for (auto &[d, u] : members) out.push_back(Json{{"domain", text_json(d)}, {"user_id", text_json(u)}});
        return out;
    }

    Json group_json(const rspi_group *g, bool enabled, Json members) {
        Json j;
        put_fields(j, group_family(), g);
        j["enabled"] = enabled;
        j["blob"] = blob_json(g->blob);
        j["members"] = std::move(members);
        return j;
    }

    Json groups() {
        Sorted out;
        auto get_list = host_.sym<decltype(rspi_get_grouplist)>("rspi_get_grouplist");
        auto next = host_.sym<decltype(rspi_next_group)>("rspi_next_group");
        auto next_user = host_.sym<decltype(rspi_next_user)>("rspi_next_user");
        auto group_users = host_.sym<decltype(rspi_group_userlist)>("rspi_group_userlist");
        auto list = own(rspi_alloc_grouplist());
        must(host_, "rspi_get_grouplist", get_list(host_.h, list.get(), 1, nullptr, nullptr, nullptr));
        walk<rspi_grouplist, rspi_group>("rspi_next_group", next, list.get(), 1, [&](rspi_group *g) {
            auto users = own(rspi_alloc_userlist());
            must(host_, "rspi_group_userlist", group_users(host_.h, g, users.get()));
            std::vector<std::pair<std::string, std::string>> members;
            walk<rspi_userlist, rspi_user>("rspi_next_user", next_user, users.get(), 0, [&](const rspi_user *u) {
                members.emplace_back(u->domain ? u->domain : "", u->user_id ? u->user_id : "");
            });
            out.add(sort_key({g->domain, g->group_id, g->registry_id}), group_json(g, true, members_json(members)));
        });

        auto disabled = own(rspi_alloc_grouplist());
        must(host_, "rspi_get_grouplist", get_list(host_.h, disabled.get(), 2, nullptr, nullptr, nullptr));
        walk<rspi_grouplist, rspi_group>("rspi_next_group", next, disabled.get(), 0, [&](const rspi_group *entry) {
            if (!entry->registry_id) return;
            const auto l = disabled_record(entry->registry_id, fmt::kDisabledGroupSuffix, fmt::kGroupFile.min_lines);
            long long blob_length;
            auto g = FamilyOps<rspi_group>::from_lines(l, blob_length);
            const std::string file = group_file_name(l[1], l[0]);
            g->blob = blob_file(file, blob_length).release();
            // The members file keeps the group's name while it is disabled.
            std::vector<std::pair<std::string, std::string>> members;
            const std::string stem = file.substr(0, file.size() - fmt::kGroupFile.suffix.size());
            if (const auto data = read_registry_file(registry_file(dir_, stem + std::string(fmt::kMembersSuffix))))
                for (auto line : check::text_lines(*data)) {
                    const std::size_t blank = line.find(' ');
                    if (blank != std::string_view::npos)
                        members.emplace_back(std::string(line.substr(0, blank)), std::string(line.substr(blank + 1)));
                }
            out.add(sort_key({g->domain, g->group_id, g->registry_id}), group_json(g.get(), false, members_json(members)));
        });
        return out.array();
    }

    Json policies() {
        Sorted out;
        auto list = own(rspi_alloc_policylist());
        must(host_, "rspi_get_policylist",
             host_.sym<decltype(rspi_get_policylist)>("rspi_get_policylist")(host_.h, list.get()));
        walk<rspi_policylist, rspi_policy>("rspi_next_policy", host_.sym<decltype(rspi_next_policy)>("rspi_next_policy"),
                                           list.get(), 1, [&](const rspi_policy *p) {
                                               Json j;
                                               put_fields(j, policy_family(), p);
                                               j["blob"] = blob_json(p->blob);
                                               out.add(sort_key({p->domain, p->policy_id}), std::move(j));
                                           });
        return out.array();
    }

    Json resources() {
        Sorted out;
        auto list = own(rspi_alloc_resourcelist());
        must(host_, "rspi_get_resourcelist",
             host_.sym<decltype(rspi_get_resourcelist)>("rspi_get_resourcelist")(host_.h, list.get()));
        walk<rspi_resourcelist, rspi_resource>(
            "rspi_next_resource", host_.sym<decltype(rspi_next_resource)>("rspi_next_resource"), list.get(), 1,
            [&](const rspi_resource *r) {
                Json j;
                put_fields(j, resource_family(), r);
                j["blob"] = blob_json(r->blob);
                out.add(sort_key({r->name}), std::move(j));
            });
        return out.array();
    }

    Json resgroups() {
        Sorted out;
        auto list = own(rspi_alloc_resgrouplist());
        must(host_, "rspi_get_resgrouplist",
             host_.sym<decltype(rspi_get_resgrouplist)>("rspi_get_resgrouplist")(host_.h, list.get()));
        walk<rspi_resgrouplist, rspi_resgroup>(
            "rspi_next_resgroup", host_.sym<decltype(rspi_next_resgroup)>("rspi_next_resgroup"), list.get(), 1,
            [&](const rspi_resgroup *g) {
                Json j;
                put_fields(j, resgroup_family(), g);
                j["blob"] = blob_json(g->blob);
                std::vector<std::string> members;
                if (g->members)
                    for (int32_t i = 0; i < g->members->count; ++i)
                        if (g->members->names[i]) members.emplace_back(g->members->names[i]);
                std::sort(members.begin(), members.end());
                j["members"] = Json::array();
                for (const auto &m : members) j["members"].push_back(text_json(m));
                out.add(sort_key({g->name}), std::move(j));
            });
        return out.array();
    }

    Host &host_;
    std::string dir_;
    bool secrets_;
};

template <>
rspi_user *Exporter::alloc<rspi_user>() { return rspi_alloc_user(); }
template <>
rspi_group *Exporter::alloc<rspi_group>() { return rspi_alloc_group(); }
template <>
rspi_policy *Exporter::alloc<rspi_policy>() { return rspi_alloc_policy(); }
template <>
rspi_resource *Exporter::alloc<rspi_resource>() { return rspi_alloc_resource(); }
template <>
rspi_resgroup *Exporter::alloc<rspi_resgroup>() { return rspi_alloc_resgroup(); }
template <>
rspi_rescreds *Exporter::alloc<rspi_rescreds>() { return rspi_alloc_rescreds(); }

// Writes all of data to fd; false with errno set.
bool write_all(int fd, const std::string &data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the output whole: to standard output, or as FILE. A new FILE, or one that
// is a regular file, gets the bytes through a new file of mode 0600 (they may hold
// passwords), created exclusively beside it and renamed over it: another account's
// file there is replaced, never written into, and a failed export leaves it as it
// was. A symbolic link at FILE is refused rather than followed or replaced; a
// device or pipe (/dev/null, a FIFO) is written as it is. Durable: the directory
// is flushed too before the command ends.
void write_output(const std::string &file, const std::string &data, bool durable) {
    if (file.empty() || file == "-") {
        std::cout << data;
        std::cout.flush();
        if (!std::cout) throw Error("cannot write the standard output");
        return;
    }
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISLNK(st.st_mode)) throw Error(escaped(file) + " is a symbolic link; name the file itself");
        if (S_ISDIR(st.st_mode)) throw Error(escaped(file) + " is a directory");
        const int fd = ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        struct stat now {};
        if (fd < 0) throw Error("cannot open " + escaped(file) + ": " + std::strerror(errno));
        const bool same = ::fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
        const bool ok = same && write_all(fd, data);
        const int why = errno;
        ::close(fd);
        if (!ok) throw Error("cannot write " + escaped(file) + (same ? ": " + std::string(std::strerror(why)) : ""));
        return;
    }
    const std::size_t slash = file.rfind('/');
    std::string temp = file.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".tolvadm-export.XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
    if (fd < 0) throw Error("cannot create a new file beside " + escaped(file) + ": " + std::strerror(errno));
    bool ok = ::fchmod(fd, 0600) == 0 && write_all(fd, data) && ::fsync(fd) == 0;
    int why = errno;
    if (::close(fd) != 0 && ok) ok = false, why = errno;
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) ok = false, why = errno;
    if (!ok) {
        ::unlink(temp.c_str());
        throw Error("cannot write " + escaped(file) + ": " + std::strerror(why));
    }
    if (!durable) return;
    const std::string folder = std::filesystem::path(file).parent_path().string();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && ::fsync(dir) == 0;
    why = errno;
    if (dir >= 0) ::close(dir);
    if (!ok) throw Error("cannot flush the directory of " + escaped(file) + ": " + std::strerror(why));
}

}  // namespace

void add_export_command(Command &app, Host &host) {
    struct Args {
        std::string format = "json", base_dn, file;
        bool secrets = false;
    };
    auto a = std::make_shared<Args>();
    auto *c = app.add_subcommand(
        "export",
        "Write the whole registry (users enabled and disabled, groups with members, policies, resources, "
        "resource groups, credentials) as one JSON document, or as LDIF for an LDAP directory");
    c->add_option("--format", a->format,
                  "json (default; what import reads) or ldif (refused, naming the entries, when names would be one "
                  "entry to LDAP, a text is not UTF-8 or a password looks like {SCHEME}...)")
        ->check_member({"json", "ldif"});
    c->add_option("--base-dn", a->base_dn, "LDIF only (required there): the entry under which the domains go");
    c->add_flag("--with-secrets", a->secrets,
                "Include user passwords and credential texts (clear text)");
    c->add_option("file", a->file,
                  "Output file (default: standard output), written as a new file of mode 0600 that replaces the "
                  "file of that name (a symbolic link there is refused)");
    c->callback([&host, a] {
        if (a->format == "ldif" && a->base_dn.empty()) throw UsageError("--format ldif needs --base-dn");
        if (a->format == "json" && !a->base_dn.empty())
            throw UsageError("--base-dn goes with --format ldif");
        host.open();
        Json doc;
        {
            // A writing call of the plug-in first rolls back an operation that
            // did not finish (a null record changes nothing); then the lock,
            // held shared, keeps every writer out while the plug-in's reads go on.
            (void)tolv::admin::recover(host.h);
            check::Registry lock(*host.h);
            lock.lock(true);
            doc = Exporter(host, a->secrets).run();
        }
        write_output(a->file, a->format == "ldif" ? ldif_document(doc, a->base_dn) : doc.dump(1) + "\n",
                     host.durable());
    });
}

}  // namespace tolvadm::xport

namespace tolvadm {

void register_export_commands(Command &app, Host &host) {
    xport::add_export_command(app, host);
    xport::add_import_command(app, host);
}

}  // namespace tolvadm
