// Records for the user tests, allocated and released through librspiutil.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "tolv.h"

extern "C" void rspiutil_fail_nth_alloc(long n);

namespace tolvtest {

// The n-th librspiutil allocation from now on fails; 0 disarms.
inline void fail_nth_alloc(long n) { rspiutil_fail_nth_alloc(n); }

// Authentication data holding exactly these bytes.
inline rspi_authndata *password(std::string_view bytes, uint32_t type = 1) {
    rspi_authndata *a = rspi_alloc_authndata();
    a->type = type;
    a->length = static_cast<uint32_t>(bytes.size());
    a->data = static_cast<char *>(rspi_alloc(bytes.size() + 1));
    if (!bytes.empty()) std::memcpy(a->data, bytes.data(), bytes.size());
    return a;
}

inline rspi_blob *blob(std::string_view bytes) {
    rspi_blob *b = rspi_alloc_blob(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
    return b;
}

inline rspi_logintypes *logintypes(std::initializer_list<const char *> names) {
    rspi_logintypes *t = rspi_alloc_logintypes(static_cast<int32_t>(names.size()));
    int32_t i = 0;
    for (const char *n : names) t->types[i++] = rspi_strdup(n);
    return t;
}

// A user record released (with all it owns) at scope end.
class UserRec {
public:
    UserRec() : u_(rspi_alloc_user()) {}
    ~UserRec() { rspi_free_user(u_); }
    UserRec(UserRec &&o) noexcept : u_(o.u_) { o.u_ = nullptr; }
    UserRec(const UserRec &) = delete;
    UserRec &operator=(const UserRec &) = delete;
    rspi_user *operator->() const { return u_; }
    rspi_user *get() const { return u_; }
    // Replaces a string field with a copy of v (null clears it).
    UserRec &set(char *&field, const char *v) {
        rspi_free(field);
        field = v ? rspi_strdup(v) : nullptr;
        return *this;
    }

private:
    rspi_user *u_;
};

// Authentication data released at scope end.
class Authn {
public:
    explicit Authn(std::string_view bytes, uint32_t type = 1) : a_(password(bytes, type)) {}
    ~Authn() { rspi_free_authndata(a_); }
    Authn(const Authn &) = delete;
    Authn &operator=(const Authn &) = delete;
    rspi_authndata *get() const { return a_; }

private:
    rspi_authndata *a_;
};

}  // namespace tolvtest
