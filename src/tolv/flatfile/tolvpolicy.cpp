// tolvpolicy.cpp - policies: create, get, modify, delete and the enumeration of "policylist.file".
#include "tolvinternal.h"

namespace tolv {

const KeyedFamily<rspi_policy> kPolicy{
    .of = format::kPolicyFamily,
    .file = [](std::string_view dir, const rspi_policy *p) { return policy_file(dir, p->domain, p->policy_id); },
    .alloc = rspi_alloc_policy,
    .release = rspi_free_policy,
    .get_op = rspi_get_policy,
};

}  // namespace tolv

TOLV_EXPORT uint32_t rspi_create_policy(char **h, rspi_policy *r) {
    return tolv::keyed_create(tolv::kPolicy, tolv::text::create_policy, h, r);
}
TOLV_EXPORT uint32_t rspi_get_policy(char **h, rspi_policy *r) {
    return tolv::keyed_get(tolv::kPolicy, tolv::text::get_policy, h, r);
}
TOLV_EXPORT uint32_t rspi_modify_policy(char **h, rspi_policy *r) {
    return tolv::keyed_modify(tolv::kPolicy, tolv::text::modify_policy, h, r);
}
TOLV_EXPORT uint32_t rspi_delete_policy(char **h, rspi_policy *r) {
    return tolv::keyed_delete(tolv::kPolicy, tolv::text::delete_policy, h, r);
}
TOLV_EXPORT uint32_t rspi_get_policylist(char **h, rspi_policylist *l) {
    return tolv::keyed_list(tolv::kPolicy, tolv::text::get_policylist, h, l);
}
TOLV_EXPORT int32_t rspi_policylist_count(char **h, rspi_policylist *l) {
    return tolv::count_op(tolv::text::policylist_count, h, l);
}
TOLV_EXPORT uint32_t rspi_first_policy(char **h, rspi_policylist *l, rspi_policy *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kPolicy, tolv::text::first_policy, h, l, r, fetch, tolv::Move::First);
}
TOLV_EXPORT uint32_t rspi_next_policy(char **h, rspi_policylist *l, rspi_policy *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kPolicy, tolv::text::next_policy, h, l, r, fetch, tolv::Move::Next);
}
TOLV_EXPORT uint32_t rspi_previous_policy(char **h, rspi_policylist *l, rspi_policy *r, int32_t fetch) {
    return tolv::keyed_step(tolv::kPolicy, tolv::text::previous_policy, h, l, r, fetch, tolv::Move::Previous);
}
