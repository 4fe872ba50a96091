// tolvinternal_rescreds.cpp - storage of resource credentials: the credential
// file, its blob, the user's credential list and the split of a list line.
#include <memory>

#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr std::string_view kRescredsSuffix = format::kRescredsFile.suffix;
// Longer credential texts are not stored: line 7 stays empty.
constexpr uint32_t kMaxCredentialText = 99;

// The bytes stored on line 7. False when the text cannot survive the line
// format (a line break or a NUL inside it, or bytes that are not there).
bool credential_text(const rspi_authndata *password, std::string_view &text) {
    text = {};
    if (!password || password->type != 1 || password->length > kMaxCredentialText) return true;
    if (password->length == 0) return true;
    if (!password->data) return false;
    text = std::string_view(password->data, password->length);
    return text.find_first_of(std::string_view("\n\0", 2)) == std::string_view::npos;
}

}  // namespace

bool rescreds_names_fit(std::string_view domain, std::string_view user_id, std::string_view name) {
    const std::size_t file = domain.size() + 1 + user_id.size() + 1 + name.size() + kRescredsSuffix.size();
    const std::size_t list = rescreds_list(domain, user_id).size();
    const std::size_t entry = domain.size() + 1 + user_id.size() + 1 + name.size();
    // Record files are written through "<name>_T", so the blob's temporary name is the longest.
    return one_line(domain) && one_line(user_id) && one_line(name) &&
           component_fits(file, kBlobSuffix.size() + kTempSuffix.size()) &&
           component_fits(list, kTempSuffix.size()) && entry_fits(entry);
}

std::string rescreds_list_entry(std::string_view domain, std::string_view user_id, std::string_view name) {
    std::string entry;
    entry.reserve(domain.size() + user_id.size() + name.size() + 2);
    entry.append(domain).append(" ").append(user_id).append(" ").append(name);
    return entry;
}

Rc ui_replace_rescreds(std::string_view dir, rspi_user *user, rspi_rescreds *creds, bool create_uuid) {
    if (!creds || !creds->name || !user || !user->user_id || !user->domain) return Rc::InvalidRescreds;
    ui_tolower(user->domain);
    ui_tolower(user->user_id);
    ui_tolower(creds->name);
    if (!rescreds_names_fit(user->domain, user->user_id, creds->name)) return Rc::InvalidRescreds;
    std::string_view secret;
    if (!credential_text(creds->password, secret)) return Rc::InvalidRescreds;
    if (!storable_texts(creds->description, creds->uuid_string, creds->text_1)) return Rc::InvalidRescreds;

    const std::string path = rescreds_file(dir, user->domain, user->user_id, creds->name);
    if (creds->state == 2) creds->state = 1;
    if (create_uuid) ui_uuid_create(creds->uuid, creds->uuid_string);

    RecordWriter w;
    w.text(creds->name).u32(creds->state).text(creds->description).u32(creds->attribute);
    w.text(creds->uuid_string).text(creds->text_1).text(secret);
    if (creds->blob) w.u32(creds->blob->length);
    if (!io::write_file(path, w.bytes())) return Rc::FileError;
    if (creds->blob) {
        const Rc rc = ui_write_blob(blob_file(path), creds->blob);
        if (!ok(rc)) return rc;
    }
    return ui_add_to_entrylist(dir, rescreds_list(user->domain, user->user_id),
                               rescreds_list_entry(user->domain, user->user_id, creds->name));
}

Rc ui_get_rescredsentry(std::string_view dir, rspi_rescreds *creds, const char *line, int32_t fetch) {
    if (!creds) return Rc::InvalidRescreds;
    std::unique_ptr<rspi_user, void (*)(rspi_user *)> who(rspi_alloc_user(), rspi_free_user);
    if (!who) return Rc::NoMemory;
    const std::string_view text = line ? line : "";
    const std::size_t b1 = text.find(' ');
    if (b1 == std::string_view::npos) return Rc::Malformed;
    const std::size_t b2 = text.find(' ', b1 + 1);
    if (b2 == std::string_view::npos) return Rc::Malformed;
    who->domain = dup_str(text.substr(0, b1));
    who->user_id = dup_str(text.substr(b1 + 1, b2 - b1 - 1));
    if (!who->domain || !who->user_id) return Rc::NoMemory;
    if (!ok(set_str(creds->name, text.substr(b2 + 1)))) return Rc::NoMemory;
    return fetch ? get_rescreds(dir, who.get(), creds) : Rc::Success;
}

}  // namespace tolv
