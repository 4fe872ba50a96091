// tolvinternal_names.cpp - file names: lower-casing, sanitising, and the name of every
// registry file.
#include <cstring>
#include <initializer_list>

#include "tolvinternal.h"

namespace tolv {

void ui_tolower(char *text) {
    if (!text) return;
    for (char *p = text; *p; ++p) *p = ui_lower(*p);
}

void ui_tolower(std::string &text) {
    for (char &c : text) c = ui_lower(c);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && ui_lower(a[i]) != ui_lower(b[i])) return false;
    return true;
}

namespace {
// Turns ':', '/' and '\' into '-'. Local bounds: a char store could alias a string's own size and data.
void sanitise_chars(char *p, char *end) {
    for (; p != end; ++p) *p = format::name_char(*p);
}
// head followed by the parts, those sanitised unless sanitise is false.
std::string join_name(std::string_view head, std::initializer_list<std::string_view> parts, bool sanitise = true) {
    std::size_t n = head.size();
    for (auto p : parts) n += p.size();
    std::string path;
    path.reserve(n);
    path.append(head);
    for (auto p : parts) path.append(p);
    if (sanitise) sanitise_chars(path.data() + head.size(), path.data() + path.size());
    return path;
}
}  // namespace

void ui_validate_filename(char *text) {
    if (text) sanitise_chars(text, text + std::strlen(text));
}

std::string make_path(std::string_view dir, std::string_view name) { return join_name(dir, {name}); }

std::string user_file(std::string_view dir, std::string_view domain, std::string_view user_id) {
    return join_name(dir, {domain, "_", user_id, format::kUserFile.suffix});
}
std::string disabled_user_file(std::string_view dir, std::string_view registry_id) {
    return join_name(dir, {registry_id, format::kDisabledUserSuffix});
}
std::string group_file(std::string_view dir, std::string_view domain, std::string_view group_id) {
    return join_name(dir, {domain, "_", group_id, format::kGroupFile.suffix});
}
std::string disabled_group_file(std::string_view dir, std::string_view registry_id) {
    return join_name(dir, {registry_id, format::kDisabledGroupSuffix});
}
std::string policy_file(std::string_view dir, std::string_view domain, std::string_view policy_id) {
    return join_name(dir, {domain, "_", policy_id, format::kPolicyFile.suffix});
}
std::string resource_file(std::string_view dir, std::string_view name) { return join_name(dir, {name, format::kResourceFile.suffix}); }
std::string resgroup_file(std::string_view dir, std::string_view name) { return join_name(dir, {name, format::kResgroupFile.suffix}); }
std::string rescreds_file(std::string_view dir, std::string_view domain, std::string_view user_id,
                          std::string_view name) {
    // Every ':' becomes '-' anyway; the first one is named for the record.
    return join_name(dir, {domain, "_", user_id, "_", name, format::kRescredsFile.suffix});
}
std::string blob_file(std::string_view record_path) { return join_name(record_path, {kBlobSuffix}, false); }
// List names stay as given: the entry-list functions sanitise them on use.
std::string my_groups_list(std::string_view domain, std::string_view user_id) {
    return join_name(domain, {"_", user_id, format::kMyGroupsSuffix}, false);
}
std::string group_members_list(std::string_view domain, std::string_view group_id) {
    return join_name(domain, {"_", group_id, format::kMembersSuffix}, false);
}
std::string resgroup_members_list(std::string_view name) { return join_name(name, {format::kRgMembersSuffix}, false); }
std::string rescreds_list(std::string_view domain, std::string_view user_id) {
    return join_name(domain, {"_", user_id, format::kMyResCredsSuffix}, false);
}
std::string member_entry(std::string_view domain, std::string_view id) { return join_name(domain, {" ", id}, false); }

}  // namespace tolv
