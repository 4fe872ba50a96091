// cmd_resgroup.cpp - tolvadm commands for resource groups: create, get, modify, delete, members, list.
#include "tolvadm.h"

namespace tolvadm {

namespace {

// Command-line values; the defaults are the record's "not given" values.
struct ResgroupArgs {
    std::string name, description, blob_file, member;
    std::vector<std::string> members;
    Option *description_opt = nullptr, *blob_opt = nullptr, *members_opt = nullptr;
    uint32_t attribute = 0;
    uint32_t state = 2;
    bool no_members = false;
    bool fetch = false;
};

void add_fields(Command *cmd, ResgroupArgs &a, bool modify) {
    a.description_opt = cmd->add_option("--description", a.description, "Free text");
    a.blob_opt = cmd->add_option("--blob-file", a.blob_file, "File whose bytes become the blob");
    cmd->add_option("--attribute", a.attribute, "Unsigned number (0: not given)");
    cmd->add_option("--state", a.state, "Unsigned number (2: not given; stored as 1 on create)");
    a.members_opt = cmd->add_option("--member", a.members,
                                    modify ? "Member resource, repeated: replaces all members (each must exist)"
                                           : "Member resource, repeated (each must exist)");
    if (modify)
        cmd->add_flag("--no-members", a.no_members, "Remove every member")->excludes(a.members_opt);
}

Owned<rspi_resgroup> named(const std::string &name) {
    auto g = own(rspi_alloc_resgroup());
    set_str(g->name, name);
    g->state = 2;
    return g;
}

rspi_resgroupmembers *members_record(const std::vector<std::string> &names) {
    auto m = own(rspi_alloc_resgroupmembers(static_cast<int32_t>(names.size())));
    char **slots = m->names;  // a trailing array of count slots
    for (std::size_t i = 0; i < names.size(); ++i) set_str(slots[i], names[i]);
    return m.release();
}

Owned<rspi_resgroup> fields_record(const ResgroupArgs &a) {
    auto g = named(a.name);
    if (*a.description_opt) set_str(g->description, a.description);
    if (*a.blob_opt) g->blob = make_blob(read_file_bytes(a.blob_file)).release();
    g->attribute = a.attribute;
    g->state = a.state;
    if (a.no_members)
        g->members = members_record({});
    else if (*a.members_opt)
        g->members = members_record(a.members);
    return g;
}

Json resgroup_json(const rspi_resgroup *g) {
    Json j;
    j["name"] = json_str(g->name);
    j["description"] = json_str(g->description);
    j["attribute"] = g->attribute;
    j["uuid"] = json_str(g->uuid_string);
    j["state"] = g->state;
    Json members = Json::array();
    if (g->members) {
        char *const *names = g->members->names;
        for (int32_t i = 0; i < g->members->count; ++i) members.push_back(json_str(names[i]));
    }
    j["members"] = members;
    j["blob"] = json_blob(g->blob);
    return j;
}

bool get_resgroup(Host &host, rspi_resgroup *g) {
    return host.report("rspi_get_resgroup", host.sym<decltype(rspi_get_resgroup)>("rspi_get_resgroup")(host.h, g));
}

// Shows the group as stored now.
void show(Host &host, const std::string &name) {
    auto g = named(name);
    if (get_resgroup(host, g.get())) host.print(resgroup_json(g.get()));
}

// Walks the resource-group list with next alone; with fetch, every group is read too.
void list_resgroups(Host &host, bool fetch) {
    host.subject = "resource-group list";
    host.open();
    auto list = own(rspi_alloc_resgrouplist());
    if (!host.report("rspi_get_resgrouplist",
                     host.sym<decltype(rspi_get_resgrouplist)>("rspi_get_resgrouplist")(host.h, list.get())))
        return;
    auto next = host.sym<decltype(rspi_next_resgroup)>("rspi_next_resgroup");
    Json all = Json::array();
    for (;;) {
        auto g = own(rspi_alloc_resgroup());
        const uint32_t rc = next(host.h, list.get(), g.get(), fetch ? 1 : 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_resgroup", rc) && (rc == RSPI_RC_NO_MEMORY || !g->name)) break;
        Json j = fetch ? resgroup_json(g.get()) : Json(g->name);
        if (!host.json) fetch ? host.print(j) : host.value(g->name);
        if (!host.json && fetch) host.say("");
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
}

using MemberOp = uint32_t(char **, rspi_resgroup *, char *);

// add-member / remove-member: one member resource.
void member_command(Host &host, const char *op_name, const ResgroupArgs &a) {
    host.subject = "resource group " + a.name + ", member " + a.member;
    host.open();
    auto g = named(a.name);
    std::string member = a.member;
    if (host.report(op_name, host.sym<MemberOp>(op_name)(host.h, g.get(), member.data()))) show(host, a.name);
}

}  // namespace

void register_resgroup_commands(Command &app, Host &host) {
    auto *cmd = app.add_subcommand(
        "resgroup", "Resource groups: create, get, modify, delete, add-member, remove-member, list");
    cmd->require_subcommand(1);

    auto create = std::make_shared<ResgroupArgs>();
    auto *c = cmd->add_subcommand("create", "Create a resource group (rspi_create_resgroup); prints it");
    c->add_option("name", create->name, "Resource-group name")->required();
    add_fields(c, *create, false);
    c->callback([&host, create] {
        host.subject = "resource group " + create->name;
        host.open();
        auto g = fields_record(*create);
        auto op = host.sym<decltype(rspi_create_resgroup)>("rspi_create_resgroup");
        if (host.report("rspi_create_resgroup", op(host.h, g.get()))) show(host, create->name);
    });

    auto get = std::make_shared<ResgroupArgs>();
    auto *g = cmd->add_subcommand("get", "Show a resource group with its members (rspi_get_resgroup)");
    g->add_option("name", get->name, "Resource-group name")->required();
    g->callback([&host, get] {
        host.subject = "resource group " + get->name;
        host.open();
        show(host, get->name);
    });

    auto modify = std::make_shared<ResgroupArgs>();
    auto *m = cmd->add_subcommand(
        "modify", "Change the given fields of a resource group (rspi_modify_resgroup); the members are "
                  "validated again");
    m->add_option("name", modify->name, "Resource-group name")->required();
    add_fields(m, *modify, true);
    m->callback([&host, modify] {
        host.subject = "resource group " + modify->name;
        host.open();
        auto rg = fields_record(*modify);
        auto op = host.sym<decltype(rspi_modify_resgroup)>("rspi_modify_resgroup");
        if (host.report("rspi_modify_resgroup", op(host.h, rg.get()))) show(host, modify->name);
    });

    auto del = std::make_shared<ResgroupArgs>();
    auto *d = cmd->add_subcommand(
        "delete", "Delete a resource group, its blob, members file and list entry (rspi_delete_resgroup)");
    d->add_option("name", del->name, "Resource-group name")->required();
    d->callback([&host, del] {
        host.subject = "resource group " + del->name;
        host.open();
        auto rg = named(del->name);
        if (host.report("rspi_delete_resgroup",
                        host.sym<decltype(rspi_delete_resgroup)>("rspi_delete_resgroup")(host.h, rg.get())))
            host.done(Json{{"name", rg->name}}, "deleted");
    });

    for (auto [verb, op, help] :
         {std::tuple{"add-member", "rspi_add_resgroup_member", "Add an existing resource to a group"},
          std::tuple{"remove-member", "rspi_remove_resgroup_member", "Remove a member from a group"}}) {
        auto args = std::make_shared<ResgroupArgs>();
        auto *sub = cmd->add_subcommand(verb, std::string(help) + " (" + op + ")");
        sub->add_option("name", args->name, "Resource-group name")->required();
        sub->add_option("member", args->member, "Member resource name")->required();
        sub->callback([&host, args, op = op] { member_command(host, op, *args); });
    }

    auto list = std::make_shared<ResgroupArgs>();
    auto *l = cmd->add_subcommand("list", "List the resource groups (rspi_get_resgrouplist, rspi_next_resgroup)");
    l->add_flag("--fetch", list->fetch, "Read every group in full, members included");
    l->callback([&host, list] { list_resgroups(host, list->fetch); });
}

// Part of demo_resources: runs after the resources printer:a and disk exist.
void demo_resgroups(Host &host) {
    host.say("");
    host.say("== Resource groups");
    auto create = host.sym<decltype(rspi_create_resgroup)>("rspi_create_resgroup");
    auto add = host.sym<MemberOp>("rspi_add_resgroup_member");
    auto remove = host.sym<MemberOp>("rspi_remove_resgroup_member");

    auto group = named("Office");
    set_str(group->description, "everything on the first floor");
    group->members = members_record({"Printer:A", "disk"});
    host.say("Create resource group Office with members Printer:A and disk: every member must be an existing");
    host.say("resource; office.RGmembers lists them sorted (\"disk\", \"printer:a\").");
    if (!host.report("rspi_create_resgroup", create(host.h, group.get()))) return;
    show(host, "office");

    host.say("A member that is not a resource is refused, and the members stay as they were:");
    auto office = named("office");
    std::string ghost = "ghost";
    host.expect("rspi_add_resgroup_member", add(host.h, office.get(), ghost.data()), RSPI_RC_INVALID_RESOURCE);
    host.say("Remove disk, then printer:a: the last removal deletes the members file.");
    for (const char *m : {"disk", "printer:a"}) {
        std::string member = m;
        if (!host.report("rspi_remove_resgroup_member", remove(host.h, office.get(), member.data()))) return;
    }
    show(host, "office");
    std::string printer = "printer:a";
    host.report("rspi_add_resgroup_member", add(host.h, office.get(), printer.data()));
    host.say("The resource-group list, read in full:");
    list_resgroups(host, true);
}

}  // namespace tolvadm
