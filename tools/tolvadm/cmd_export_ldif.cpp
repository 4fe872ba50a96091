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
//
// Nothing is written when the directory could not hold what the registry holds:
// two names that LDAP's matching takes for one (case, NFC and NFD, compatibility
// forms such as a ligature), a text that is not UTF-8, or a password that
// userPassword would read as a hash ("{SSHA}..."); each such entry is named.
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <iostream>
#include <map>
#include <set>
#include <tuple>
#include <vector>

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

// A name as caseIgnoreMatch compares it (RFC 4518): case folded, NFKC, blanks at the ends dropped and inner runs
// of them one. Two names of one form are one entry in the directory.
std::string matching_form(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *fold = icu::Normalizer2::getNFKCCasefoldInstance(status);
    if (U_FAILURE(status)) throw Error(std::string("cannot load Unicode normalization: ") + u_errorName(status));
    const icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), name.size()));
    std::string folded, out;
    fold->normalize(u, status).toUTF8String(folded);
    if (U_FAILURE(status)) throw Error(std::string("cannot normalize a name: ") + u_errorName(status));
    for (const char c : folded)
        if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// What keeps the enabled users and groups out of a directory, each entry named,
// and what the second pass needs: the domains (with people, with groups) and
// the users and groups seen, which alone are written.
struct Survey {
    std::vector<std::string> problems;
    std::map<std::string, std::pair<bool, bool>> domains;
    std::set<std::pair<std::string, std::string>> users, groups;
    // The first name seen in each matching form, per kind of entry.
    std::map<std::string, std::string> domain_forms;
    std::map<std::pair<std::string, std::string>, std::string> people_forms, group_forms;

    void clash(auto &seen, const auto &form, const std::string &what) {
        const auto [at, fresh] = seen.emplace(form, what);
        if (!fresh && at->second != what)
            problems.push_back(what + " and " + at->second + " are one entry to LDAP (case, Unicode normalization)");
    }
    void add(const Json &e, bool group, bool secrets) {
        if (!e.value("enabled", true)) return;
        const char *id = group ? "group_id" : "user_id";
        const std::string domain = text(e, "domain"), name = text(e, id);
        (group ? groups : users).emplace(domain, name);
        (group ? domains[domain].second : domains[domain].first) = true;
        const std::string what = std::string(group ? "group " : "user ") + escaped(domain) + "/" + escaped(name);
        for (const char *f : {"domain", id, "description", "registry_id"})
            if (!valid_utf8(text(e, f))) problems.push_back(what + ": its " + f + " is not UTF-8, which LDAP cannot hold");
        if (!valid_utf8(domain) || !valid_utf8(name)) return;
        const std::string domain_form = matching_form(domain);
        clash(domain_forms, domain_form, "domain " + escaped(domain));
        clash(group ? group_forms : people_forms, std::pair{domain_form, matching_form(name)}, what);
        const std::string password = text(e, "password");
        if (secrets && e.value("account_valid", 0) == 1 && password.starts_with('{') &&
            password.find('}') != std::string::npos)
            problems.push_back(what + ": its password begins like a password scheme (\"{...}\"), which "
                                      "userPassword would take for a hash");
    }
};

}  // namespace

void write_ldif(Entries &entries, bool secrets, const std::string &base_dn, Output &out) {
    if (base_dn.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        throw Error("--base-dn must be one line");
    // Nothing is written before every entry was looked at: a first pass finds what LDAP could not hold.
    Survey survey;
    entries.users([&](Json u) { survey.add(u, false, secrets); });
    entries.groups([&](Json g) { survey.add(g, true, secrets); });
    if (!survey.problems.empty()) {
        for (const auto &p : survey.problems) std::cerr << "export: " << p << "\n";
        throw Error("the registry cannot go into LDAP as it is (" + std::to_string(survey.problems.size()) +
                    " problem(s)); nothing was written");
    }
    auto domain_dn = [&](const std::string &domain) { return "ou=" + rdn_value(domain) + "," + base_dn; };
    auto user_dn = [&](const std::string &domain, const std::string &id) {
        return "uid=" + rdn_value(id) + ",ou=people," + domain_dn(domain);
    };

    // Enabled entries only: a disabled one has no counterpart in a directory
    // and would come back into service there.
    // No "version: 1" line: slapadd takes the blank line after it for an empty entry.
    std::string text_out;
    bool first = true;
    const auto entry = [&] {
        if (!first) text_out += '\n';
        first = false;
    };
    const auto emit = [&] {
        out.write(text_out);
        text_out.clear();
    };
    for (const auto &[domain, parts] : survey.domains) {
        entry();
        line(text_out, "dn", domain_dn(domain));
        line(text_out, "objectClass", "organizationalUnit");
        line(text_out, "ou", domain);
        for (const auto &[present, ou] : {std::pair{parts.first, "people"}, std::pair{parts.second, "groups"}}) {
            if (!present) continue;
            text_out += '\n';
            line(text_out, "dn", std::string("ou=") + ou + "," + domain_dn(domain));
            line(text_out, "objectClass", "organizationalUnit");
            line(text_out, "ou", ou);
        }
    }
    emit();

    entries.users([&](Json u) {
        const std::string domain = text(u, "domain"), id = text(u, "user_id");
        // Only what the first pass saw: its domains are the ones written above.
        if (!u.value("enabled", true) || !survey.users.count({domain, id})) return;
        entry();
        line(text_out, "dn", user_dn(domain, id));
        line(text_out, "objectClass", "inetOrgPerson");
        line(text_out, "uid", id);
        line(text_out, "cn", id);
        line(text_out, "sn", id);
        line(text_out, "ou", domain);
        for (const auto &[attr, field] : {std::pair{"description", "description"},
                                          std::pair{"employeeNumber", "registry_id"}})
            if (const std::string v = text(u, field); !v.empty()) line(text_out, attr, v);
        // Only an account that can sign on here gets a password there.
        const std::string password = text(u, "password");
        if (secrets && u.value("account_valid", 0) == 1 && !password.empty()) line(text_out, "userPassword", password);
        emit();
    });

    entries.groups([&](Json g) {
        const std::string domain = text(g, "domain"), id = text(g, "group_id");
        if (!g.value("enabled", true) || !survey.groups.count({domain, id})) return;
        entry();
        line(text_out, "dn", "cn=" + rdn_value(id) + ",ou=groups," + domain_dn(domain));
        line(text_out, "objectClass", "groupOfNames");
        line(text_out, "cn", id);
        if (const std::string v = text(g, "description"); !v.empty()) line(text_out, "description", v);
        bool any = false;
        for (const auto &m : g["members"]) {
            const std::string md = text(m, "domain"), mu = text(m, "user_id");
            if (!survey.users.count({md, mu})) continue;  // a disabled user
            line(text_out, "member", user_dn(md, mu));
            any = true;
        }
        // groupOfNames needs a member: an empty group names the empty DN.
        if (!any) line(text_out, "member", "");
        emit();
    });
}

}  // namespace tolvadm::xport
