// Host records for the black-box tests, allocated and released through
// librspiutil, with helpers to fill them; librspiutil's allocation fault switch.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

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
// A policy record holding names only, every other field "not given" (modify).
inline Policy given_policy(const char *domain, const char *id) {
    Policy p;
    p.set(p->domain, domain).set(p->policy_id, id);
    p->state = p->flag_2 = p->flag_3 = 2;
    for (int32_t *n : {&p->number_2, &p->number_3, &p->number_4, &p->number_5, &p->number_6, &p->number_7,
                       &p->number_8, &p->number_9, &p->number_10, &p->number_11, &p->number_12, &p->number_13,
                       &p->number_14, &p->number_15, &p->number_16, &p->number_17})
        *n = -1;
    return p;
}
// A group record with state 2 (keep what is stored).
inline Group group(const char *domain, const char *id, const char *registry_id = nullptr) {
    Group g;
    g.set(g->domain, domain).set(g->group_id, id).set(g->registry_id, registry_id);
    g->state = 2;
    return g;
}

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
inline std::string str(const char *s) { return s ? s : "(null)"; }

}  // namespace tolvtest
