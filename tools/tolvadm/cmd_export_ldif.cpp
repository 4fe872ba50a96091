// cmd_export_ldif.cpp - the LDIF form of an export document, for loading the
// users and groups into an LDAP directory (`ldapadd -f`).
//
// The tree under the base DN (which must exist already):
//   ou=<domain>,BASE                         organizationalUnit, one per domain
//   ou=people,ou=<domain>,BASE               organizationalUnit
//   uid=<user>,ou=people,ou=<domain>,BASE    inetOrgPerson
//   ou=groups,ou=<domain>,BASE               organizationalUnit
//   cn=<group>,ou=groups,ou=<domain>,BASE    groupOfNames, member: the users' DNs
// User and group ids are unique only within a domain, hence a subtree per domain.
#include <map>
#include <set>

#include "cmd_export.h"

namespace tolvadm::xport {

namespace {

// A value as one RDN value (RFC 4514): the special characters escaped, control
// bytes as \XX; other bytes (UTF-8) as they are.
std::string rdn_value(std::string_view v) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const auto c = static_cast<unsigned char>(v[i]);
        const bool edge_blank = c == ' ' && (i == 0 || i + 1 == v.size());
        if (c < 0x20 || c == 0x7F) {
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else if (edge_blank || (c == '#' && i == 0) || std::string_view("\"+,;<>\\=").find(static_cast<char>(c)) !=
                                                              std::string_view::npos) {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// One "attr: value" line, or "attr:: base64" for a value LDIF cannot carry as it is.
void line(std::string &out, std::string_view attr, std::string_view value) {
    bool safe = value.empty() || (value.front() != ' ' && value.front() != ':' && value.front() != '<' &&
                                  value.back() != ' ');
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0 || c == '\n' || c == '\r' || c >= 0x80) safe = false;
    }
    out.append(attr);
    if (safe) {
        out.append(": ").append(value);
    } else {
        out.append(":: ").append(base64(reinterpret_cast<const unsigned char *>(value.data()), value.size()));
    }
    out += '\n';
}

std::string text(const Json &j, const char *name) {
    if (!j.contains(name) || j[name].is_null()) return {};
    return text_bytes(j[name]).value_or(std::string());
}

}  // namespace

std::string ldif_document(const Json &doc, const std::string &base_dn) {
    if (base_dn.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        throw Error("--base-dn must be one line");
    auto domain_dn = [&](const std::string &domain) { return "ou=" + rdn_value(domain) + "," + base_dn; };
    auto user_dn = [&](const std::string &domain, const std::string &id) {
        return "uid=" + rdn_value(id) + ",ou=people," + domain_dn(domain);
    };

    // Enabled entries only: a disabled one has no counterpart in a directory
    // and would come back into service there.
    std::set<std::pair<std::string, std::string>> users;
    std::map<std::string, std::pair<bool, bool>> domains;  // domain -> (has people, has groups)
    for (const auto &u : doc["users"])
        if (u.value("enabled", true)) {
            users.emplace(text(u, "domain"), text(u, "user_id"));
            domains[text(u, "domain")].first = true;
        }
    for (const auto &g : doc["groups"])
        if (g.value("enabled", true)) domains[text(g, "domain")].second = true;

    std::string out = "version: 1\n";
    for (const auto &[domain, parts] : domains) {
        out += '\n';
        line(out, "dn", domain_dn(domain));
        line(out, "objectClass", "organizationalUnit");
        line(out, "ou", domain);
        for (const auto &[present, ou] : {std::pair{parts.first, "people"}, std::pair{parts.second, "groups"}}) {
            if (!present) continue;
            out += '\n';
            line(out, "dn", std::string("ou=") + ou + "," + domain_dn(domain));
            line(out, "objectClass", "organizationalUnit");
            line(out, "ou", ou);
        }
    }

    const bool secrets = doc.value("secrets", false);
    for (const auto &u : doc["users"]) {
        if (!u.value("enabled", true)) continue;
        const std::string domain = text(u, "domain"), id = text(u, "user_id");
        out += '\n';
        line(out, "dn", user_dn(domain, id));
        line(out, "objectClass", "inetOrgPerson");
        line(out, "uid", id);
        line(out, "cn", id);
        line(out, "sn", id);
        line(out, "ou", domain);
        for (const auto &[attr, field] : {std::pair{"description", "description"},
                                          std::pair{"employeeNumber", "registry_id"}})
            if (const std::string v = text(u, field); !v.empty()) line(out, attr, v);
        // Only an account that can sign on here gets a password there.
        const std::string password = text(u, "password");
        if (secrets && u.value("account_valid", 0) == 1 && !password.empty()) line(out, "userPassword", password);
    }

    for (const auto &g : doc["groups"]) {
        if (!g.value("enabled", true)) continue;
        const std::string domain = text(g, "domain"), id = text(g, "group_id");
        out += '\n';
        line(out, "dn", "cn=" + rdn_value(id) + ",ou=groups," + domain_dn(domain));
        line(out, "objectClass", "groupOfNames");
        line(out, "cn", id);
        if (const std::string v = text(g, "description"); !v.empty()) line(out, "description", v);
        bool any = false;
        for (const auto &m : g["members"]) {
            const std::string md = text(m, "domain"), mu = text(m, "user_id");
            if (!users.count({md, mu})) continue;  // a disabled user
            line(out, "member", user_dn(md, mu));
            any = true;
        }
        // groupOfNames needs a member: an empty group names the empty DN.
        if (!any) line(out, "member", "");
    }
    return out;
}

}  // namespace tolvadm::xport
