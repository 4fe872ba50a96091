// tolvinternal_policy.cpp - storage of policies: the policy file, its blob and
// the policy list.
#include "tolvinternal.h"

namespace tolv {

namespace {

std::string policy_entry(std::string_view domain, std::string_view policy_id) {
    std::string entry;
    entry.reserve(domain.size() + 1 + policy_id.size());
    entry.append(domain).append(" ").append(policy_id);
    return entry;
}

}  // namespace

bool policy_names_fit(std::string_view domain, std::string_view policy_id) {
    const std::size_t entry = domain.size() + 1 + policy_id.size();
    // The longest name is the blob's while it is written: "_blob" + "_T".
    return one_line(domain) && one_line(policy_id) &&
           component_fits(policy_file({}, domain, policy_id).size(), kBlobSuffix.size() + kTempSuffix.size()) &&
           entry_fits(entry);
}

Rc ui_replace_policy(std::string_view dir, rspi_policy *policy, bool create_uuid) {
    if (!policy || !policy->policy_id || !policy->domain) return Rc::InvalidPolicy;
    if (!policy_names_fit(policy->domain, policy->policy_id)) return Rc::InvalidPolicy;
    if (!storable_texts(policy->description, policy->uuid_string, policy->text_1)) return Rc::InvalidPolicy;
    const std::string path = policy_file(dir, policy->domain, policy->policy_id);
    if (policy->state == 2) policy->state = 1;
    if (create_uuid) ui_uuid_create(policy->uuid, policy->uuid_string);

    RecordWriter w;
    w.text(policy->policy_id)
        .text(policy->domain)
        .u32(policy->state)
        .text(policy->description)
        .u32(policy->attribute)
        .text(policy->uuid_string)
        .i32(policy->long_1);
    for (std::size_t i = 0; i + 1 < std::size(kPolicyNumbers); ++i) w.i32(policy->*kPolicyNumbers[i]);
    w.u32(policy->flag_2)
        .u32(policy->flag_3)
        .text(policy->text_1)
        .u32(policy->blob ? policy->blob->length : 0)
        .i32(policy->number_17);
    if (!io::write_file(path, w.bytes())) return Rc::FileError;

    if (policy->blob) {
        const Rc rc = ui_write_blob(blob_file(path), policy->blob);
        if (!ok(rc)) return rc;  // the file stays, without a list entry
    }
    return ui_add_to_policylist(dir, policy);
}

Rc ui_add_to_policylist(std::string_view dir, rspi_policy *policy) {
    return ui_add_to_entrylist(dir, kPolicyList, policy_entry(policy->domain, policy->policy_id));
}

Rc ui_remove_from_policylist(std::string_view dir, rspi_policy *policy) {
    return ui_remove_from_entrylist(dir, kPolicyList, policy_entry(policy->domain, policy->policy_id));
}

}  // namespace tolv
