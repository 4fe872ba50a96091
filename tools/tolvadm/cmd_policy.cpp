// cmd_policy.cpp - tolvadm commands for authorization policies: create, get, modify, delete, list.
#include <sstream>

#include "family_cmds.h"

namespace tolvadm {

namespace {

const Family<rspi_policy> kPolicies{
    .help = "Authorization policies: create, get, modify, delete, list",
    .noun = "policy",
    .keys = {{"domain", "domain", "Domain of the policy"}, {"policy_id", "policy", "Policy id within the domain"}},
    .shown = {"domain",    "policy_id", "description", "attribute", "uuid",      "state",     "long_1",
              "number_2",  "number_3",  "number_4",    "number_5",  "number_6",  "number_7",  "number_8",
              "number_9",  "number_10", "number_11",   "number_12", "number_13", "number_14", "number_15",
              "number_16", "number_17", "flag_2",      "flag_3",    "text_1"},
    .helps = {"Create a policy (rspi_create_policy); prints it with its new UUID", "Show a policy (rspi_get_policy)",
              "Change the given fields of a policy (rspi_modify_policy)",
              "Delete a policy, its blob and its list entry (rspi_delete_policy)",
              "List the policies as \"domain policy\" (rspi_get_policylist, rspi_next_policy)"},
    .list_subject = "policy list",
};

// The policy file as it is on disk, for the demo.
void show_file(Host &host, const std::string &name) {
    std::stringstream text(registry_file(host, name).value_or(""));
    host.say("  " + name + ":");
    std::string line;
    int n = 0;
    while (std::getline(text, line)) host.value("    " + std::to_string(++n) + ": " + line);
}

}  // namespace

void register_policy_commands(Command &app, Host &host) {
    FamilyCommands<rspi_policy> f(app, host, kPolicies);
    f.create();
    f.get();
    f.modify();
    f.keys_only("delete", "delete", "deleted", kPolicies.helps[3]);
    f.list();
}

void demo_policies(Host &host) {
    host.say("");
    host.say("== Policies");
    const FamilyOps<rspi_policy> ops(host, kPolicies);
    auto create = host.sym<decltype(rspi_create_policy)>("rspi_create_policy");
    auto modify = host.sym<decltype(rspi_modify_policy)>("rspi_modify_policy");

    auto p = ops.keyed({"Corp", "Gold"});
    set_str(p->description, "gold customers");
    p->attribute = 7;
    p->number_5 = 5;
    p->number_17 = 17;
    p->flag_2 = 1;
    p->blob = make_blob({'r', 'u', 'l', 'e', 's'}).release();
    host.say("Create policy Gold in domain Corp (number_5 5, flag_2 1, a 5-byte blob): the keys come back lower-cased,");
    host.say("the policy file holds 27 lines, the blob sits beside it, and \"policylist.file\" gets \"corp gold\".");
    if (!host.report("rspi_create_policy", create(host.h, p.get()))) return;
    show_file(host, "corp_gold.QZpolicy");
    host.say("Creating it again:");
    host.expect("rspi_create_policy", create(host.h, ops.keyed({"Corp", "Gold"}).get()), RSPI_RC_POLICY_EXISTS);

    host.say("Modify: number_5 -2 resets it to -1 (not set); every field left \"not given\" keeps its value.");
    auto change = ops.keyed({"Corp", "Gold"});
    change->number_5 = -2;
    set_str(change->text_1, "reviewed");
    if (!host.report("rspi_modify_policy", modify(host.h, change.get()))) return;
    ops.show(ops.keyed({"Corp", "Gold"}).get());

    host.report("rspi_create_policy", create(host.h, ops.keyed({"corp", "silver"}).get()));
    host.say("The policy list, walked with rspi_next_policy alone:");
    ops.list(false);
}

}  // namespace tolvadm
