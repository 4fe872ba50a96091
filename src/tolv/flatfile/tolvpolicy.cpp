// tolvpolicy.cpp - policies: create, get, modify, delete and the enumeration of "policylist.file".
#include "tolvinternal.h"

namespace tolv {

const KeyedFamily<rspi_policy> kPolicy{
    .fields = format::kPolicyFields,
    .invalid = Rc::InvalidPolicy,
    .exists = Rc::PolicyExists,
    .list = kPolicyList,
    .domain = &rspi_policy::domain,
    .id = &rspi_policy::policy_id,
    .file = [](std::string_view dir, const rspi_policy *p) { return policy_file(dir, p->domain, p->policy_id); },
    .alloc = rspi_alloc_policy,
    .release = rspi_free_policy,
    .get_op = rspi_get_policy,
};

}  // namespace tolv

TOLV_KEYED_FAMILY_EXPORTS(policy, tolv::kPolicy, rspi_policy, rspi_policylist)
