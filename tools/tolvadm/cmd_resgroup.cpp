// cmd_resgroup.cpp - tolvadm commands for resource groups: create, get, modify, delete, members, list.
#include "family_cmds.h"

namespace tolvadm {

namespace {

rspi_resgroupmembers *members_record(const std::vector<std::string> &names) {
    auto m = own(rspi_alloc_resgroupmembers(static_cast<int32_t>(names.size())));
    char **slots = m->names;  // a trailing array of count slots
    for (std::size_t i = 0; i < names.size(); ++i) set_str(slots[i], names[i]);
    return m.release();
}

// --member (repeated) and, on modify, --no-members.
std::function<void(rspi_resgroup *)> member_options(Command *cmd, Use use) {
    struct Members {
        std::vector<std::string> names;
        Option *opt = nullptr;
        bool none = false;
    };
    auto m = std::make_shared<Members>();
    m->opt = cmd->add_option("--member", m->names,
                             use == Use::modify ? "Member resource, repeated: replaces all members (each must exist)"
                                                : "Member resource, repeated (each must exist)");
    if (use == Use::modify) cmd->add_flag("--no-members", m->none, "Remove every member")->excludes(m->opt);
    return [m](rspi_resgroup *g) {
        if (m->none)
            g->members = members_record({});
        else if (*m->opt)
            g->members = members_record(m->names);
    };
}

const Family<rspi_resgroup> kResgroups{
    .help = "Resource groups: create, get, modify, delete, add-member, remove-member, list",
    .noun = "resource group",
    .keys = {{"name", "name", "Resource-group name"}},
    .shown = {"name", "description", "attribute", "uuid", "state"},
    .helps = {"Create a resource group (rspi_create_resgroup); prints it",
              "Show a resource group with its members (rspi_get_resgroup)",
              "Change the given fields of a resource group (rspi_modify_resgroup); the members are validated again",
              "Delete a resource group, its blob, members file and list entry (rspi_delete_resgroup)",
              "List the resource groups (rspi_get_resgrouplist, rspi_next_resgroup)"},
    .list_subject = "resource-group list",
    .more_json =
        [](Json &j, const rspi_resgroup *g) {
            Json members = Json::array();
            if (g->members) {
                char *const *names = g->members->names;
                for (int32_t i = 0; i < g->members->count; ++i) members.push_back(json_str(names[i]));
            }
            j["members"] = members;
        },
    .more_options = member_options,
};

using MemberOp = uint32_t(char **, rspi_resgroup *, char *);

}  // namespace

void register_resgroup_commands(Command &app, Host &host) {
    FamilyCommands<rspi_resgroup> f(app, host, kResgroups);
    f.create();
    f.get();
    f.modify();
    f.keys_only("delete", "delete", "deleted", kResgroups.helps[3]);
    for (auto [verb, op, help] :
         {std::tuple{"add-member", "rspi_add_resgroup_member", "Add an existing resource to a group"},
          std::tuple{"remove-member", "rspi_remove_resgroup_member", "Remove a member from a group"}}) {
        auto *sub = f.command()->add_subcommand(verb, std::string(help) + " (" + op + ")");
        auto g = f.add_keys(sub);
        auto member = std::make_shared<std::string>();
        sub->add_option("member", *member, "Member resource name")->required();
        sub->callback([&host, f, g, member, op = op] {
            host.subject = f.subject(*g) + ", member " + *member;
            host.open();
            auto rg = f.keyed(*g);
            if (host.report(op, host.sym<MemberOp>(op)(host.h, rg.get(), member->data()))) f.show(f.keyed(*g).get());
        });
    }
    f.list();
}

// Part of demo_resources: runs after the resources printer:a and disk exist.
void demo_resgroups(Host &host) {
    host.say("");
    host.say("== Resource groups");
    const FamilyOps<rspi_resgroup> ops(host, kResgroups);
    auto create = host.sym<decltype(rspi_create_resgroup)>("rspi_create_resgroup");
    auto add = host.sym<MemberOp>("rspi_add_resgroup_member");
    auto remove = host.sym<MemberOp>("rspi_remove_resgroup_member");

    auto group = ops.keyed({"Office"});
    set_str(group->description, "everything on the first floor");
    group->members = members_record({"Printer:A", "disk"});
    host.say("Create resource group Office with members Printer:A and disk: every member must be an existing");
    host.say("resource; office.RGmembers lists them sorted (\"disk\", \"printer:a\").");
    if (!host.report("rspi_create_resgroup", create(host.h, group.get()))) return;
    ops.show(ops.keyed({"office"}).get());

    host.say("A member that is not a resource is refused, and the members stay as they were:");
    auto office = ops.keyed({"office"});
    std::string ghost = "ghost";
    host.expect("rspi_add_resgroup_member", add(host.h, office.get(), ghost.data()), RSPI_RC_INVALID_RESOURCE);
    host.say("Remove disk, then printer:a: the last removal deletes the members file.");
    for (const char *m : {"disk", "printer:a"}) {
        std::string member = m;
        if (!host.report("rspi_remove_resgroup_member", remove(host.h, office.get(), member.data()))) return;
    }
    ops.show(ops.keyed({"office"}).get());
    std::string printer = "printer:a";
    host.report("rspi_add_resgroup_member", add(host.h, office.get(), printer.data()));
    host.say("The resource-group list, read in full:");
    ops.list(true);
}

}  // namespace tolvadm
