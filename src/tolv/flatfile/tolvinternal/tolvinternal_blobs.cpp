// tolvinternal_blobs.cpp - blobs, UUIDs and login types.
#include <cstring>

#include "tolvinternal.h"

namespace tolv {

Rc ui_load_blob(const std::string &record_path, long length, Rc parsed, rspi_blob *&blob) {
    rspi_free_blob(blob);
    blob = nullptr;
    if (length < 1 || parsed == Rc::NoMemory) return parsed;
    if (static_cast<unsigned long>(length) > UINT32_MAX) return Rc::Malformed;
    // The stored length is checked against the file before that much is allocated.
    const std::string path = blob_file(record_path);
    if (!io::size_at_least(path, static_cast<std::size_t>(length))) return Rc::FileError;
    rspi_blob *loaded = rspi_alloc_blob(static_cast<uint32_t>(length));
    if (!loaded) return Rc::NoMemory;
    std::size_t got = 0;
    if (io::read_prefix(path, loaded->data, loaded->length, got) != io::Read::Ok || got != loaded->length) {
        rspi_free_blob(loaded);
        return Rc::FileError;
    }
    blob = loaded;
    return Rc::Success;
}

namespace {
// True when the file holds exactly these bytes.
bool holds(const std::string &path, std::string_view bytes) {
    std::string now(bytes.size() + 1, '\0');
    std::size_t got = 0;
    return io::read_prefix(path, now.data(), now.size(), got) == io::Read::Ok && got == bytes.size() &&
           std::string_view(now.data(), got) == bytes;
}
// True when text is uuid's canonical lower-case form, which the UUID service could only parse back into uuid.
bool spells(const char *text, const unsigned char (&uuid)[16]) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char *p = text;
    for (int i = 0; i < 16; ++i) {
        if ((i == 4 || i == 6 || i == 8 || i == 10) && *p++ != '-') return false;
        if (*p++ != kHex[uuid[i] >> 4] || *p++ != kHex[uuid[i] & 15]) return false;
    }
    return *p == '\0';
}
}  // namespace

Rc ui_write_blob(const std::string &path, const rspi_blob *blob) {
    if (!blob || (blob->length > 0 && !blob->data)) return Rc::FileError;
    const std::string_view bytes(reinterpret_cast<const char *>(blob->data), blob->length);
    // A blob a modify keeps is not written again: that costs a read, not a new file, and needs no room on a full disk.
    if (!bytes.empty() && holds(path, bytes)) return Rc::Success;
    if (!io::write_file(path, bytes)) return Rc::FileError;
    return blob->length == 0 ? io::remove_if_there(path) : Rc::Success;
}

void ui_uuid_create(unsigned char (&uuid)[16], char *&uuid_string) {
    uint32_t status = 0;
    qz_uuid_create(uuid, &status);
    if (status != 0) {
        TOLV_TRACE("uuid_create failed: status = %8.8x\n", status);
        return;
    }
    char *text = nullptr;
    qz_uuid_to_string(uuid, &text, &status);
    if (status != 0) {
        TOLV_TRACE("uuid_to_string failed: status = %8.8x\n", status);
        return;
    }
    uuid_string = rspi_strdup(text);
    qz_uuid_string_free(&text, &status);
}

void ui_read_uuid(RecordReader &reader, unsigned char (&uuid)[16], char *&uuid_string) {
    std::string_view line;
    if (!reader.next(line)) return;
    if (!ok(set_str(uuid_string, line))) {
        reader.set_rc(Rc::NoMemory);
        return;
    }
    // A record read again keeps its UUID: nothing to parse. A failed parse only traces.
    if (spells(uuid_string, uuid)) return;
    uint32_t status = 0;
    qz_uuid_from_string(uuid_string, uuid, &status);
    if (status != 0) TOLV_TRACE("uuid_from_string failed: status = %8.8x\n", status);
}

std::string ui_logintypes_string(const rspi_logintypes *types, std::string_view sep, std::size_t size) {
    std::string out;
    if (!types || size == 0) return out;
    long long budget = static_cast<long long>(size) - 1;
    for (int32_t i = 0; i < types->count; ++i) {
        budget -= static_cast<long long>(sep.size());
        const char *t = types->types[i] ? types->types[i] : "";
        const long long len = static_cast<long long>(std::strlen(t));
        if (len < budget) {
            if (i > 0) out.append(sep);
            out.append(t);
            budget -= len;
        }
    }
    return out;
}

rspi_logintypes *ui_logintypes_data(std::string_view text, std::string_view sep) {
    if (text.empty() || sep.empty()) return nullptr;
    int32_t count = 1;
    for (std::size_t p = text.find(sep); p != std::string_view::npos; p = text.find(sep, p + sep.size())) ++count;
    rspi_logintypes *types = rspi_alloc_logintypes(count);
    if (!types) return nullptr;
    std::size_t start = 0;
    for (int32_t i = 0; i < count; ++i) {
        const std::size_t end = i + 1 < count ? text.find(sep, start) : text.size();
        types->types[i] = dup_str(text.substr(start, end - start));
        if (!types->types[i]) break;
        start = end + sep.size();
    }
    return types;
}

}  // namespace tolv
