// tolvpolicy.cpp - policies: create, get, modify, delete and the enumeration
// of "policylist.file".
#include "tolvinternal.h"

namespace tolv {

namespace {

constexpr FamilyTexts kTexts{text::create_policy,  text::get_policy,    text::modify_policy,
                             text::delete_policy,  text::get_policylist, text::policylist_count,
                             text::first_policy,   text::next_policy,   text::previous_policy};

const KeyedFamily<rspi_policy> kPolicy{
    .fields = format::kPolicyFields,
    .read = {},
    .invalid = Rc::InvalidPolicy,
    .exists = Rc::PolicyExists,
    .list = kPolicyList,
    .domain = &rspi_policy::domain,
    .id = &rspi_policy::policy_id,
    .file = [](std::string_view dir, const rspi_policy *p) { return policy_file(dir, p->domain, p->policy_id); },
    .alloc = rspi_alloc_policy,
    .release = rspi_free_policy,
    .get_op = rspi_get_policy,
    .texts = kTexts,
};

Rc replace(std::string_view dir, rspi_policy *p, bool create) { return replace_keyed(kPolicy, dir, p, create); }

}  // namespace

}  // namespace tolv

using tolv::kPolicy;
using tolv::Move;
using P = rspi_policy;
using PL = rspi_policylist;

TOLV_EXPORT uint32_t rspi_create_policy(char **h, P *p) {
    return tolv::traced_write_op(kPolicy.texts.create, h, [&](std::string_view dir) {
        return create_keyed(kPolicy, dir, p, [&](P *r) { return tolv::replace(dir, r, true); });
    });
}
TOLV_EXPORT uint32_t rspi_get_policy(char **h, P *p) {
    return tolv::traced_read_op(kPolicy.texts.get, h, [&](std::string_view dir) { return get_keyed(kPolicy, dir, p); });
}
TOLV_EXPORT uint32_t rspi_modify_policy(char **h, P *p) {
    return tolv::traced_write_op(kPolicy.texts.modify, h, [&](std::string_view dir) {
        return modify_keyed(kPolicy, h, p, [](auto &) {}, [&](P *r) { return tolv::replace(dir, r, false); });
    });
}
TOLV_EXPORT uint32_t rspi_delete_policy(char **h, P *p) {
    return tolv::traced_write_op(kPolicy.texts.del, h,
                                 [&](std::string_view dir) { return delete_keyed(kPolicy, dir, p); });
}
TOLV_EXPORT uint32_t rspi_get_policylist(char **h, PL *l) { return keyed_list(kPolicy, h, l); }
TOLV_EXPORT int32_t rspi_policylist_count(char **h, PL *l) { return keyed_count(kPolicy, h, l); }
TOLV_EXPORT uint32_t rspi_first_policy(char **h, PL *l, P *p, int32_t fetch) {
    return keyed_step(kPolicy, h, l, p, fetch, Move::First);
}
TOLV_EXPORT uint32_t rspi_next_policy(char **h, PL *l, P *p, int32_t fetch) {
    return keyed_step(kPolicy, h, l, p, fetch, Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_policy(char **h, PL *l, P *p, int32_t fetch) {
    return keyed_step(kPolicy, h, l, p, fetch, Move::Previous);
}
