// cmd_export.h - what `tolvadm export` and `tolvadm import` share: the export
// document's shape (each family's fields, from its field table), texts as
// JSON without losing bytes, and the registry read entry by entry.
//
// The document (version 1):
//   {"format": "tolv-export", "version": 1, "secrets": bool,
//    "users": [...], "groups": [...], "policies": [...], "resources": [...], "resource_groups": [...]}
// Users carry "enabled", "password" (with secrets) and "credentials"; groups
// and resource groups carry "members". Blobs are base64 strings (or null).
#pragma once

#include <cstdint>
#include <functional>
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
// Each family's scalar fields, in document order, made from its field table
// (tolvfields.h): keys from the key fields (in file-name order), texts from
// the texts and the UUID, numbers by their member's type. A field's default
// is its "not given" value, used when a document leaves the field out.
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

// The file names of the families (lower-cased keys, not yet sanitised): what
// import compares to find two entries that would be one file.
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
// Reading the registry for a document: each family's entries, one at a time
// and sorted by their names, as the document holds them. Reads as any reader
// does; a failing call is reported and ends the export (Failed).
class Entries {
public:
    // credentials: a user's credentials are read too (the JSON document's).
    Entries(Host &host, bool secrets, bool credentials = true)
        : host_(host), secrets_(secrets), credentials_(credentials) {}
    using Each = std::function<void(Json)>;
    // Enabled and disabled; with secrets, "password" and each credential's "text".
    void users(const Each &each);
    void groups(const Each &each);
    void policies(const Each &each);
    void resources(const Each &each);
    void resgroups(const Each &each);

private:
    Json credentials(const rspi_user *u);
    Host &host_;
    bool secrets_, credentials_;
};

// Where a document goes: standard output, or FILE (see add_export_command),
// written as it is made; commit() ends it, and a FILE not committed is left as it was.
class Output {
public:
    Output(const std::string &file, bool durable);
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    void write(std::string_view text);
    void commit();

private:
    void flush();
    std::string file_, temp_, buffer_;
    int fd_ = -1;
    bool durable_;
};

// ---------------------------------------------------------------------------
// The commands (cmd_export.cpp, import/) and the LDIF form of a
// document (cmd_export_ldif.cpp).
void add_export_command(Command &app, Host &host);
void add_import_command(Command &app, Host &host);
// The registry as LDIF under base_dn, written to out: one organizational unit
// per domain with ou=people and ou=groups below it. Throws Error for an
// unusable base DN, and, before anything is written, when the directory could
// not hold the registry.
void write_ldif(Entries &entries, bool secrets, const std::string &base_dn, Output &out);

}  // namespace tolvadm::xport
