// Host records for the black-box tests, allocated and released through
// librspiutil, with helpers to fill them, capture the diagnostics and fail
// allocations.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry.h"
#include "rspi.h"
#include "tolv.h"

extern "C" void rspiutil_fail_nth_alloc(long n);
extern "C" long rspiutil_alloc_count(void);

namespace tolvtest {

// Replaces a host string field with a copy of v (null clears it).
inline void set(char *&field, const char *v) {
    rspi_free(field);
    field = v ? rspi_strdup(v) : nullptr;
}

template <class T, void (*Free)(T *)>
struct Releaser {
    void operator()(T *p) const { Free(p); }
};
// A fresh record, released with everything it owns at scope end.
template <class T, T *(*Alloc)(), void (*Free)(T *)>
struct Rec : std::unique_ptr<T, Releaser<T, Free>> {
    Rec() : std::unique_ptr<T, Releaser<T, Free>>(Alloc()) {}
    Rec &set(char *&field, const char *v) {
        tolvtest::set(field, v);
        return *this;
    }
};
using User = Rec<rspi_user, rspi_alloc_user, rspi_free_user>;
using Group = Rec<rspi_group, rspi_alloc_group, rspi_free_group>;
using Policy = Rec<rspi_policy, rspi_alloc_policy, rspi_free_policy>;
using Resource = Rec<rspi_resource, rspi_alloc_resource, rspi_free_resource>;
using Resgroup = Rec<rspi_resgroup, rspi_alloc_resgroup, rspi_free_resgroup>;
using Creds = Rec<rspi_rescreds, rspi_alloc_rescreds, rspi_free_rescreds>;
using UserList = Rec<rspi_userlist, rspi_alloc_userlist, rspi_free_userlist>;
using GroupList = Rec<rspi_grouplist, rspi_alloc_grouplist, rspi_free_grouplist>;
using PolicyList = Rec<rspi_policylist, rspi_alloc_policylist, rspi_free_policylist>;
using ResourceList = Rec<rspi_resourcelist, rspi_alloc_resourcelist, rspi_free_resourcelist>;
using ResgroupList = Rec<rspi_resgrouplist, rspi_alloc_resgrouplist, rspi_free_resgrouplist>;
using CredsList = Rec<rspi_rescredslist, rspi_alloc_rescredslist, rspi_free_rescredslist>;
using UserRec = User;

inline User user(const char *domain, const char *id) {
    User u;
    u.set(u->domain, domain).set(u->user_id, id);
    return u;
}
// A user record holding names only, every other field "not given" (modify, enable).
inline User given_user(const char *domain, const char *id) {
    User u = user(domain, id);
    u->flag_1 = u->account_valid = 2;
    u->number_2 = -1;
    return u;
}
// A group record with state 2 (keep what is stored).
inline Group group(const char *domain, const char *id, const char *registry_id = nullptr) {
    Group g;
    g.set(g->domain, domain).set(g->group_id, id).set(g->registry_id, registry_id);
    g->state = 2;
    return g;
}
inline UserList userlist() { return {}; }
inline GroupList grouplist() { return {}; }

inline rspi_blob *blob(std::string_view bytes) {
    rspi_blob *b = rspi_alloc_blob(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
    return b;
}
inline std::string bytes(const rspi_blob *b) {
    return b ? std::string(reinterpret_cast<const char *>(b->data), b->length) : std::string("(null)");
}
// Authentication data holding exactly these bytes.
inline rspi_authndata *password(std::string_view bytes, uint32_t type = 1) {
    rspi_authndata *a = rspi_alloc_authndata();
    a->type = type;
    a->length = static_cast<uint32_t>(bytes.size());
    a->data = static_cast<char *>(rspi_alloc(bytes.size() + 1));
    if (!bytes.empty()) std::memcpy(a->data, bytes.data(), bytes.size());
    return a;
}
inline std::string text_of(const rspi_authndata *a) { return a ? std::string(a->data, a->length) : "(null)"; }
// Authentication data released at scope end.
struct Authn : std::unique_ptr<rspi_authndata, Releaser<rspi_authndata, rspi_free_authndata>> {
    explicit Authn(std::string_view bytes, uint32_t type = 1)
        : std::unique_ptr<rspi_authndata, Releaser<rspi_authndata, rspi_free_authndata>>(password(bytes, type)) {}
};
inline rspi_logintypes *logintypes(std::initializer_list<const char *> names) {
    rspi_logintypes *t = rspi_alloc_logintypes(static_cast<int32_t>(names.size()));
    int32_t i = 0;
    for (const char *n : names) t->types[i++] = rspi_strdup(n);
    return t;
}

// The entries of a list record as (flag, data), following next from first.
template <class L>
std::vector<std::pair<uint32_t, std::string>> entries(const L *list) {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (const rspi_list_item *i = list->first; i; i = i->next) out.emplace_back(i->flag, i->data ? i->data : "");
    return out;
}
inline std::string str(const char *s) { return s ? s : "(null)"; }

// A minimal user file of the twenty-line format: enough for membership,
// which only checks that the file exists.
inline std::string user_file_text(const std::string &domain, const std::string &id, const std::string &rid) {
    return id + "\n" + domain + "\n0\n1\npw\n\n0\n\n\n\n\n\n" + rid + "\n0\n0\n0\n0\n\n\n\n";
}

// Turns the diagnostics on into a temporary file for the life of the object.
class Trace {
public:
    Trace() : file_(std::tmpfile()), saved_verbose_(verbose), saved_output_(debugOutput) {
        verbose = 1;
        debugOutput = file_;
    }
    ~Trace() {
        verbose = saved_verbose_;
        debugOutput = saved_output_;
        if (file_) std::fclose(file_);
    }
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;
    // Everything written so far; the capture starts again empty.
    std::string take() {
        std::string out;
        if (!file_) return out;
        std::fflush(file_);
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) out.push_back(static_cast<char>(c));
        std::fclose(file_);
        file_ = std::tmpfile();
        debugOutput = file_;
        return out;
    }

private:
    FILE *file_;
    int32_t saved_verbose_;
    FILE *saved_output_;
};

// Runs op with the n-th librspiutil allocation failing, for n = 1, 2, ...
// until op makes fewer allocations than n; check(rc, failed) sees each run.
template <class Op, class Check>
void for_each_failed_alloc(Op op, Check check) {
    for (long n = 1; n < 100; ++n) {
        rspiutil_fail_nth_alloc(n);
        const uint32_t rc = op();
        const bool failed = rspiutil_alloc_count() >= n;
        rspiutil_fail_nth_alloc(0);
        check(rc, failed);
        if (!failed) return;
    }
    ADD_FAILURE() << "the operation never stopped allocating";
}

}  // namespace tolvtest
