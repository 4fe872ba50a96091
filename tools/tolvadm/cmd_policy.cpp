// cmd_policy.cpp - tolvadm commands for authorization policies: create, get, modify, delete, list.
#include <array>
#include <fstream>
#include <sstream>

#include "tolvadm.h"

namespace tolvadm {

namespace {

// number_2 ... number_16, then number_17.
constexpr std::array<int32_t rspi_policy::*, 16> kNumbers = {
    &rspi_policy::number_2,  &rspi_policy::number_3,  &rspi_policy::number_4,  &rspi_policy::number_5,
    &rspi_policy::number_6,  &rspi_policy::number_7,  &rspi_policy::number_8,  &rspi_policy::number_9,
    &rspi_policy::number_10, &rspi_policy::number_11, &rspi_policy::number_12, &rspi_policy::number_13,
    &rspi_policy::number_14, &rspi_policy::number_15, &rspi_policy::number_16, &rspi_policy::number_17,
};
int number_index(std::size_t i) { return static_cast<int>(i) + 2; }

// Command-line values; the defaults are the record's "not given" values.
struct PolicyArgs {
    std::string domain, policy_id;
    std::string description, text_1, blob_file;
    Option *description_opt = nullptr, *text_1_opt = nullptr, *blob_opt = nullptr;
    uint32_t attribute = 0;
    uint32_t state = 2;
    int32_t long_1 = 0;
    std::array<int32_t, 16> numbers;
    int64_t flag_2 = 2, flag_3 = 2;
    bool fetch = false;
    PolicyArgs() { numbers.fill(-1); }
};

void add_keys(Command *cmd, PolicyArgs &a) {
    cmd->add_option("domain", a.domain, "Domain of the policy")->required();
    cmd->add_option("policy", a.policy_id, "Policy id within the domain")->required();
}

// Every field of the record. On modify, an option left out keeps the stored
// value, and -2 resets long_1 (to 0), a number (to -1) or a flag (to 2).
void add_fields(Command *cmd, PolicyArgs &a, bool modify) {
    a.description_opt = cmd->add_option("--description", a.description, "Free text");
    a.text_1_opt = cmd->add_option("--text-1", a.text_1, "Free text");
    a.blob_opt = cmd->add_option("--blob-file", a.blob_file, "File whose bytes become the blob");
    cmd->add_option("--attribute", a.attribute, "Unsigned number (0: not given)");
    cmd->add_option("--state", a.state, "Unsigned number (2: not given; stored as 1 on create)");
    cmd->add_option("--long-1", a.long_1, modify ? "Number (0: not given, -2: reset to 0)" : "Number");
    for (std::size_t i = 0; i < kNumbers.size(); ++i)
        cmd->add_option("--number-" + std::to_string(number_index(i)), a.numbers[i],
                        modify ? "Number (-1: not given, -2: reset to -1)" : "Number (-1: not set)");
    for (auto [name, field] : {std::pair{"--flag-2", &a.flag_2}, std::pair{"--flag-3", &a.flag_3}})
        cmd->add_option(name, *field, modify ? "Flag (2: not given, -2: reset to 2)" : "Flag (2: not given)")
            ->check_range(int64_t{-2}, int64_t{UINT32_MAX});
}

std::string subject_of(const PolicyArgs &a) { return "policy " + a.domain + "/" + a.policy_id; }

Owned<rspi_policy> keys_record(const PolicyArgs &a) {
    auto p = own(rspi_alloc_policy());
    set_str(p->domain, a.domain);
    set_str(p->policy_id, a.policy_id);
    p->state = 2;
    p->flag_2 = p->flag_3 = 2;
    for (auto n : kNumbers) p.get()->*n = -1;
    return p;
}

Owned<rspi_policy> fields_record(const PolicyArgs &a) {
    auto p = keys_record(a);
    if (*a.description_opt) set_str(p->description, a.description);
    if (*a.text_1_opt) set_str(p->text_1, a.text_1);
    if (*a.blob_opt) p->blob = make_blob(read_file_bytes(a.blob_file)).release();
    p->attribute = a.attribute;
    p->state = a.state;
    p->long_1 = a.long_1;
    for (std::size_t i = 0; i < kNumbers.size(); ++i) p.get()->*kNumbers[i] = a.numbers[i];
    p->flag_2 = static_cast<uint32_t>(a.flag_2);
    p->flag_3 = static_cast<uint32_t>(a.flag_3);
    return p;
}

Json policy_json(const rspi_policy *p) {
    Json j;
    j["domain"] = json_str(p->domain);
    j["policy_id"] = json_str(p->policy_id);
    j["description"] = json_str(p->description);
    j["attribute"] = p->attribute;
    j["uuid"] = json_str(p->uuid_string);
    j["state"] = p->state;
    j["long_1"] = p->long_1;
    for (std::size_t i = 0; i < kNumbers.size(); ++i)
        j["number_" + std::to_string(number_index(i))] = p->*kNumbers[i];
    j["flag_2"] = p->flag_2;
    j["flag_3"] = p->flag_3;
    j["text_1"] = json_str(p->text_1);
    j["blob"] = json_blob(p->blob);
    return j;
}

// Fetches a policy; false (reported) when the plug-in refuses.
bool get_policy(Host &host, rspi_policy *p) {
    return host.report("rspi_get_policy", host.sym<decltype(rspi_get_policy)>("rspi_get_policy")(host.h, p));
}

// Walks the policy list with next alone; with fetch, every policy is read too.
void list_policies(Host &host, bool fetch) {
    host.subject = "policy list";
    host.open();
    auto list = own(rspi_alloc_policylist());
    if (!host.report("rspi_get_policylist",
                     host.sym<decltype(rspi_get_policylist)>("rspi_get_policylist")(host.h, list.get())))
        return;
    auto next = host.sym<decltype(rspi_next_policy)>("rspi_next_policy");
    Json all = Json::array();
    for (;;) {
        auto p = own(rspi_alloc_policy());
        const uint32_t rc = next(host.h, list.get(), p.get(), fetch ? 1 : 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_policy", rc)) {
            // The cursor has moved past a bad entry unless the list could not be loaded.
            if (rc == RSPI_RC_NO_MEMORY) break;
            if (!p->policy_id || !p->domain) continue;
        }
        Json j = fetch ? policy_json(p.get()) : Json(std::string(p->domain) + " " + p->policy_id);
        if (!host.json) fetch ? host.print(j) : host.value(j.get<std::string>());
        if (!host.json && fetch) host.say("");
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
}

// The policy file as it is on disk, for the demo.
void show_file(Host &host, const std::string &name) {
    std::ifstream in(std::string(*host.h) + name);
    std::stringstream text;
    text << in.rdbuf();
    host.say("  " + name + ":");
    std::string line;
    int n = 0;
    while (std::getline(text, line)) host.value("    " + std::to_string(++n) + ": " + line);
}

}  // namespace

void register_policy_commands(Command &app, Host &host) {
    auto *cmd = app.add_subcommand("policy", "Authorization policies: create, get, modify, delete, list");
    cmd->require_subcommand(1);

    auto create = std::make_shared<PolicyArgs>();
    auto *c = cmd->add_subcommand("create", "Create a policy (rspi_create_policy); prints it with its new UUID");
    add_keys(c, *create);
    add_fields(c, *create, false);
    c->callback([&host, create] {
        host.subject = subject_of(*create);
        host.open();
        auto p = fields_record(*create);
        auto op = host.sym<decltype(rspi_create_policy)>("rspi_create_policy");
        if (host.report("rspi_create_policy", op(host.h, p.get())) && get_policy(host, p.get()))
            host.print(policy_json(p.get()));
    });

    auto get = std::make_shared<PolicyArgs>();
    auto *g = cmd->add_subcommand("get", "Show a policy (rspi_get_policy)");
    add_keys(g, *get);
    g->callback([&host, get] {
        host.subject = subject_of(*get);
        host.open();
        auto p = keys_record(*get);
        if (get_policy(host, p.get())) host.print(policy_json(p.get()));
    });

    auto modify = std::make_shared<PolicyArgs>();
    auto *m = cmd->add_subcommand("modify", "Change the given fields of a policy (rspi_modify_policy)");
    add_keys(m, *modify);
    add_fields(m, *modify, true);
    m->callback([&host, modify] {
        host.subject = subject_of(*modify);
        host.open();
        auto p = fields_record(*modify);
        auto op = host.sym<decltype(rspi_modify_policy)>("rspi_modify_policy");
        if (!host.report("rspi_modify_policy", op(host.h, p.get()))) return;
        auto shown = keys_record(*modify);
        if (get_policy(host, shown.get())) host.print(policy_json(shown.get()));
    });

    auto del = std::make_shared<PolicyArgs>();
    auto *d = cmd->add_subcommand("delete", "Delete a policy, its blob and its list entry (rspi_delete_policy)");
    add_keys(d, *del);
    d->callback([&host, del] {
        host.subject = subject_of(*del);
        host.open();
        auto p = keys_record(*del);
        if (host.report("rspi_delete_policy",
                        host.sym<decltype(rspi_delete_policy)>("rspi_delete_policy")(host.h, p.get())))
            host.done(Json{{"domain", p->domain}, {"policy_id", p->policy_id}}, "deleted");
    });

    auto list = std::make_shared<PolicyArgs>();
    auto *l = cmd->add_subcommand("list", "List the policies as \"domain policy\" (rspi_get_policylist, rspi_next_policy)");
    l->add_flag("--fetch", list->fetch, "Read every policy in full");
    l->callback([&host, list] { list_policies(host, list->fetch); });
}

void demo_policies(Host &host) {
    host.say("");
    host.say("== Policies");
    auto create = host.sym<decltype(rspi_create_policy)>("rspi_create_policy");
    auto modify = host.sym<decltype(rspi_modify_policy)>("rspi_modify_policy");

    PolicyArgs a;
    a.domain = "Corp";
    a.policy_id = "Gold";
    auto p = keys_record(a);
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
    host.expect("rspi_create_policy", create(host.h, keys_record(a).get()), RSPI_RC_POLICY_EXISTS);

    host.say("Modify: number_5 -2 resets it to -1 (not set); every field left \"not given\" keeps its value.");
    auto change = keys_record(a);
    change->number_5 = -2;
    set_str(change->text_1, "reviewed");
    if (!host.report("rspi_modify_policy", modify(host.h, change.get()))) return;
    auto shown = keys_record(a);
    if (get_policy(host, shown.get())) host.print(policy_json(shown.get()));

    PolicyArgs silver;
    silver.domain = "corp";
    silver.policy_id = "silver";
    host.report("rspi_create_policy", create(host.h, keys_record(silver).get()));
    host.say("The policy list, walked with rspi_next_policy alone:");
    list_policies(host, false);
}

}  // namespace tolvadm
