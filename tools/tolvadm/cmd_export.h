// cmd_export.h - what `tolvadm export` and `tolvadm import` share: the export
// document's shape (each family's fields described once, as data), texts as
// JSON without losing bytes, and the few registry files read directly.
//
// The document (version 1):
//   {"format": "tolv-export", "version": 1, "secrets": bool,
//    "users": [...], "groups": [...], "policies": [...], "resources": [...], "resource_groups": [...]}
// Users carry "enabled", "password" (with secrets) and "credentials"; groups
// and resource groups carry "members". Blobs are base64 strings (or null).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvadm.h"

namespace tolvadm::xport {

inline constexpr const char *kFormat = "tolv-export";
inline constexpr int kVersion = 1;

// ---------------------------------------------------------------------------
// Texts. The plug-in's strings are bytes: valid UTF-8 becomes a JSON string,
// anything else {"base64": "..."}, so every byte comes back on import.
Json text_json(std::string_view bytes);
Json text_json(const char *s);  // null stays null
// The bytes of a text value; nullopt when it is neither form.
std::optional<std::string> text_bytes(const Json &v);
bool valid_utf8(std::string_view s);
// Standard base64 (padding required); nullopt for anything else.
std::optional<std::string> unbase64(std::string_view text);

// ---------------------------------------------------------------------------
// Each family's scalar fields, in document order. A field's default is the
// record's "not given" value, used when a document leaves the field out.
template <class R>
struct TextField {
    const char *name;
    char *R::*member;
};
template <class R, class N>
struct NumberField {
    const char *name;
    N R::*member;
    N unset;
};
template <class R>
struct Family {
    const char *plural;  // the document's array: "users"
    const char *what;    // "user", in reports
    std::vector<TextField<R>> keys;   // name fields, in file-name order
    std::vector<TextField<R>> texts;  // other texts
    std::vector<NumberField<R, uint32_t>> u32s;
    std::vector<NumberField<R, int32_t>> i32s;
};
const Family<rspi_user> &user_family();
const Family<rspi_group> &group_family();
const Family<rspi_policy> &policy_family();
const Family<rspi_resource> &resource_family();
const Family<rspi_resgroup> &resgroup_family();
const Family<rspi_rescreds> &rescreds_family();

// The scalar fields of a record as document members (keys first, then texts, numbers).
template <class R>
void put_fields(Json &out, const Family<R> &f, const R *r) {
    for (const auto &t : f.keys) out[t.name] = text_json(r->*t.member);
    for (const auto &t : f.texts) out[t.name] = text_json(r->*t.member);
    for (const auto &n : f.u32s) out[n.name] = r->*n.member;
    for (const auto &n : f.i32s) out[n.name] = r->*n.member;
}

// A blob as a base64 string, or null.
Json blob_json(const rspi_blob *blob);

// ---------------------------------------------------------------------------
// Registry files read directly, where the interface does not reach: a disabled
// user's or group's record (renamed to "<registry id>.user" / ".group"), the
// members file of a disabled group, a stored password. Paths are the registry
// "dir" string followed by the file name with ':', '/' and '\' made '-'.
std::string registry_file(const std::string &dir, std::string_view name);
// The whole file, refusing anything but a regular file; nullopt when it is missing.
// Throws Error when it exists but cannot be read.
std::optional<std::string> read_registry_file(const std::string &path);
// The lines of a record file as the plug-in's 1000-byte line reader returns them.
std::vector<std::string> record_lines(std::string_view data);
// A number line as the plug-in reads it (base 10, optional sign, 0 without digits).
long long number_line(std::string_view line);

// The file names of the families (lower-cased keys; sanitising is left to registry_file).
std::string user_file_name(std::string_view domain, std::string_view user_id);
std::string group_file_name(std::string_view domain, std::string_view group_id);
std::string policy_file_name(std::string_view domain, std::string_view policy_id);
std::string resource_file_name(std::string_view name);
std::string resgroup_file_name(std::string_view name);
std::string rescreds_file_name(std::string_view domain, std::string_view user_id, std::string_view name);
std::string lower(std::string_view s);
// ':', '/' and '\' made '-', as in every file name of the registry.
std::string sanitised(std::string_view name);

// ---------------------------------------------------------------------------
// The commands (cmd_export.cpp, import/) and the LDIF form of a
// document (cmd_export_ldif.cpp).
void add_export_command(Command &app, Host &host);
void add_import_command(Command &app, Host &host);
// The LDIF of a document under base_dn: one organizational unit per domain
// with ou=people and ou=groups below it. Throws Error for an unusable base DN.
std::string ldif_document(const Json &doc, const std::string &base_dn);

}  // namespace tolvadm::xport
