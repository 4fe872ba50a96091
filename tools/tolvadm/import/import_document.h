// import_document.h - what the two halves of `tolvadm import` share: the
// document as the check leaves it (each entry's fields in its family's order,
// members lower-cased) and the one call that reads and checks it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../cmd_export.h"

namespace tolvadm::xport {

// The scalar fields of one entry, in the order of its family's description.
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
    std::vector<std::string> login_types;
    std::vector<CredEntry> creds;
};
struct GroupEntry {
    Scalars s;
    bool enabled = true;
    std::vector<std::pair<std::string, std::string>> members;  // (domain, user id), lower-case
    std::vector<std::string> member_paths;                      // "groups[0].members[2]", for reports
};
struct ResgroupEntry {
    Scalars s;
    std::vector<std::string> members;       // resource names, lower-case
    std::vector<std::string> member_paths;  // as the group's
};
struct Document {
    bool without_secrets = false;  // exported without --with-secrets ("secrets": false): no password, no text
    std::vector<UserEntry> users;
    std::vector<GroupEntry> groups;
    std::vector<Scalars> policies, resources;
    std::vector<ResgroupEntry> resgroups;
};

// Key i of an entry, lower-cased as in its file name; empty when missing.
inline std::string key(const Scalars &s, std::size_t i) { return s.keys[i] ? lower(*s.keys[i]) : std::string(); }

// The place of text field name among the texts of family f (their count when it has none).
template <class R>
std::size_t text_index(const Family<R> &f, std::string_view name) {
    std::size_t i = 0;
    while (i < f.texts.size() && name != f.texts[i].name) ++i;
    return i;
}
// The text of field name among the texts of family f, or null.
template <class R>
const std::optional<std::string> &text_of(const Family<R> &f, const Scalars &s, std::string_view name) {
    static const std::optional<std::string> none;
    const std::size_t i = text_index(f, name);
    return i < s.texts.size() ? s.texts[i] : none;
}

// Reads file and checks the whole document; every problem is added to
// problems with its place, and only a document without one may be written.
// Throws Error when the file cannot be read or is not JSON.
Document read_document(const std::string &file, std::vector<std::string> &problems);

}  // namespace tolvadm::xport
