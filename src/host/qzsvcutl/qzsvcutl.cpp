// libqzsvcutl: the UUID service, a thin layer over libuuid.
//
// Status values reported through the last argument (a null status pointer is
// tolerated and simply not written):
//   0  success
//   1  bad argument (a null pointer where a value is needed)
//   2  the string is not a UUID
//   3  out of memory
// Strings are the 36-character lower-case form, allocated with malloc.

#include <cstdlib>

#include <uuid/uuid.h>

#pragma GCC visibility push(default)
#include "tolv.h"
#pragma GCC visibility pop

namespace {

constexpr uint32_t status_ok = 0;
constexpr uint32_t status_bad_argument = 1;
constexpr uint32_t status_parse_error = 2;
constexpr uint32_t status_no_memory = 3;

constexpr size_t uuid_text_size = 37;  // 36 characters and the NUL

void report(uint32_t *status, uint32_t value) {
    if (status != nullptr) {
        *status = value;
    }
}

}  // namespace

extern "C" {

void qz_uuid_create(unsigned char uuid[16], uint32_t *status) {
    if (uuid == nullptr) {
        report(status, status_bad_argument);
        return;
    }
    uuid_generate_random(uuid);
    report(status, status_ok);
}

void qz_uuid_to_string(const unsigned char uuid[16], char **out, uint32_t *status) {
    if (uuid == nullptr || out == nullptr) {
        report(status, status_bad_argument);
        return;
    }
    auto *text = static_cast<char *>(std::malloc(uuid_text_size));
    if (text == nullptr) {
        report(status, status_no_memory);
        return;
    }
    uuid_unparse_lower(uuid, text);
    *out = text;
    report(status, status_ok);
}

void qz_uuid_string_free(char **s, uint32_t *status) {
    if (s == nullptr) {
        report(status, status_bad_argument);
        return;
    }
    std::free(*s);
    *s = nullptr;
    report(status, status_ok);
}

void qz_uuid_from_string(const char *s, unsigned char uuid[16], uint32_t *status) {
    if (uuid == nullptr) {
        report(status, status_bad_argument);
        return;
    }
    if (s == nullptr) {
        uuid_clear(uuid);
        report(status, status_bad_argument);
        return;
    }
    if (uuid_parse(s, uuid) != 0) {
        uuid_clear(uuid);
        report(status, status_parse_error);
        return;
    }
    report(status, status_ok);
}

}  // extern "C"
