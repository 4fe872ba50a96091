// cmd_export.cpp - `tolvadm export`: the whole registry as one JSON document
// (or LDIF), written entry by entry as it is read (cmd_export_entries.cpp);
// the families' document fields, made from their field tables.
#include "cmd_export.h"
#include "tolvadmin.h"

#include <algorithm>
#include <span>

#include "tolvfields.h"

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

namespace {

// The identity leads an entry, as the document has always had it; every other
// field follows in its table's order.
constexpr std::string_view kLeading[] = {"registry_id", "uuid", "description", "cert_dn", "attribute"};

std::size_t rank(const char *name) {
    return static_cast<std::size_t>(std::find(std::begin(kLeading), std::end(kLeading), name) - std::begin(kLeading));
}

template <class T>
void lead(std::vector<T> &fields) {
    std::stable_sort(fields.begin(), fields.end(), [](const T &a, const T &b) { return rank(a.name) < rank(b.name); });
}

// key_name: the document's name of a family's one key, where it differs from the field's.
template <class R>
Family<R> from_table(const char *plural, const char *what, std::span<const fmt::Field<R>> table,
                     const char *key_name = nullptr) {
    Family<R> f{plural, what, {}, {}, {}, {}};
    for (const auto &field : table) {
        switch (field.kind) {
        // The table has the id before the domain; file names have the domain first.
        case fmt::Kind::Key: f.keys.insert(f.keys.begin(), {key_name ? key_name : field.name, field.text}); break;
        case fmt::Kind::Text:
        case fmt::Kind::Uuid: f.texts.push_back({field.name, field.text}); break;
        case fmt::Kind::Unsigned:
        case fmt::Kind::Signed:
            if (field.u32)
                f.u32s.push_back({field.name, field.u32, static_cast<uint32_t>(field.not_given)});
            else
                f.i32s.push_back({field.name, field.i32, static_cast<int32_t>(field.not_given)});
            break;
        // The password, login types and blob are members of their own.
        case fmt::Kind::Password:
        case fmt::Kind::LoginTypes:
        case fmt::Kind::BlobLength: break;
        }
    }
    lead(f.texts);
    lead(f.u32s);
    lead(f.i32s);
    return f;
}

}  // namespace

const Family<rspi_user> &user_family() {
    static const auto f = from_table<rspi_user>("users", "user", fmt::kUserFields);
    return f;
}
const Family<rspi_group> &group_family() {
    static const auto f = from_table<rspi_group>("groups", "group", fmt::kGroupFields);
    return f;
}
const Family<rspi_policy> &policy_family() {
    static const auto f = from_table<rspi_policy>("policies", "policy", fmt::kPolicyFields);
    return f;
}
const Family<rspi_resource> &resource_family() {
    static const auto f = from_table<rspi_resource>("resources", "resource", fmt::kResourceFields);
    return f;
}
const Family<rspi_resgroup> &resgroup_family() {
    static const auto f = from_table<rspi_resgroup>("resource_groups", "resource group", fmt::kResgroupFields);
    return f;
}
const Family<rspi_rescreds> &rescreds_family() {
    static const auto f = from_table<rspi_rescreds>("credentials", "credential", fmt::kRescredsFields, "resource");
    return f;
}

// ---------------------------------------------------------------------------
// File names.

std::string sanitised(std::string_view name) {
    std::string out(name);
    for (char &c : out) c = tolv::format::name_char(c);
    return out;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
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

// The document as Json::dump(1) lays it out, one entry at a time: an entry
// sits two levels down, so its lines take two more blanks (no JSON string
// holds a raw line break).
class JsonWriter {
public:
    JsonWriter(Output &out, bool secrets) : out_(out) {
        out_.write(std::string("{\n \"format\": \"") + kFormat + "\",\n \"version\": " + std::to_string(kVersion) +
                   ",\n \"secrets\": " + (secrets ? "true" : "false"));
    }
    void array(const char *name, Entries &entries, void (Entries::*walk)(const Entries::Each &)) {
        out_.write(std::string(",\n \"") + name + "\": [");
        bool first = true;
        (entries.*walk)([&](Json entry) {
            std::string text = entry.dump(1);
            std::string indented = first ? "\n  " : ",\n  ";
            first = false;
            for (const char c : text) {
                indented += c;
                if (c == '\n') indented += "  ";
            }
            out_.write(indented);
        });
        out_.write(first ? "]" : "\n ]");
    }
    void end() { out_.write("\n}\n"); }

private:
    Output &out_;
};

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
        // One moment of the registry: writers wait for the export, readers do not.
        const tolv::admin::WriterHold hold(host.h);
        if (!host.report("hold writers", hold.status())) return;
        Entries entries(host, a->secrets, a->format == "json");
        Output out(a->file, host.durable());
        if (a->format == "ldif") {
            write_ldif(entries, a->secrets, a->base_dn, out);
        } else {
            JsonWriter doc(out, a->secrets);
            doc.array(user_family().plural, entries, &Entries::users);
            doc.array(group_family().plural, entries, &Entries::groups);
            doc.array(policy_family().plural, entries, &Entries::policies);
            doc.array(resource_family().plural, entries, &Entries::resources);
            doc.array(resgroup_family().plural, entries, &Entries::resgroups);
            doc.end();
        }
        out.commit();
    });
}

}  // namespace tolvadm::xport

namespace tolvadm {

void register_export_commands(Command &app, Host &host) {
    xport::add_export_command(app, host);
    xport::add_import_command(app, host);
}

}  // namespace tolvadm
