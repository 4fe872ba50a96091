// cmd_group.cpp - tolvadm commands for groups: create, get, modify, delete, disable, enable, members, look up, list.
#include <sstream>

#include "family_cmds.h"

namespace tolvadm {

// From cmd_userlist.cpp.
void add_indexed_list(Command &cmd, Host &host, bool group);
void list_groups(Host &host, uint32_t mode, const char *id, const char *domain, const char *registry_id, bool fetch);
template <class R>
void print_entries(Host &host, typename Records<R>::List *list);

namespace {

// The members as "domain user" texts, walked from the group's lazy list.
Json members_json(Host &host, rspi_userlist *members) {
    Json all = Json::array();
    if (!members) return all;
    auto next = host.sym<decltype(rspi_next_user)>("rspi_next_user");
    for (;;) {
        auto u = own(rspi_alloc_user());
        const uint32_t rc = next(host.h, members, u.get(), 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_user", rc)) {
            if (rc == RSPI_RC_NO_MEMORY) break;
            continue;
        }
        if (u->domain && u->user_id) all.push_back(std::string(u->domain) + " " + u->user_id);
    }
    return all;
}

const Family<rspi_group> kGroups{
    .command = "group",
    .help = "Groups: create, get, modify, delete, disable, enable, members, list, find",
    .stem = "group",
    .noun = "group",
    .keys = {{"domain", "domain", "Domain of the group"}, {"group_id", "group", "Group id within the domain"}},
    .shown = {"domain", "group_id", "description", "attribute", "uuid", "state", "registry_id"},
    .helps = {"Create a group (rspi_create_group); prints it with its new UUID",
              "Show a group and its members (rspi_get_group)", "Change the given fields of a group (rspi_modify_group)",
              "Delete a group: its memberships, group file, blob and list line (rspi_delete_group)"},
    .notes = {{"registry_id", "Registry id, names the disabled group file (default: GROUP@DOMAIN, lower-cased)",
               "Registry id (names the disabled group file)"}},
    .more_shown = [](Host &host, Json &j, rspi_group *g) { j["members"] = members_json(host, g->members); },
};

// enable: the registry id and UUID to come back with.
const Note kEnableNotes[] = {
    {"registry_id", nullptr,
     "Registry id the group was disabled under (default: found from the disabled entries whose file holds these "
     "names)"},
    {"uuid", nullptr, "UUID text (default: the UUID the group had)"},
};

using MemberOp = uint32_t(char **, rspi_group *, rspi_user *);

// A registry file as it is on disk, for the demo.
void show_file(Host &host, const std::string &name) {
    const auto data = registry_file(host, name);
    if (!data) {
        host.say("  " + name + ": (no such file)");
        return;
    }
    std::stringstream text(*data);
    host.say("  " + name + ":");
    std::string line;
    while (std::getline(text, line)) host.value("    " + line);
}

}  // namespace

Json group_json(Host &host, const rspi_group *g) { return FamilyOps<rspi_group>(host, kGroups).json(g); }

void register_group_commands(Command &app, Host &host) {
    FamilyCommands<rspi_group> f(app, host, kGroups);
    Command *cmd = f.command();
    f.create();
    f.get();
    f.modify();
    f.keys_only("delete", "delete", "deleted", kGroups.helps[3]);
    f.keys_only("disable", "disable", "disabled",
                "Disable a group: its file takes the name <registry id>.group (rspi_disable_group)");

    auto *e = cmd->add_subcommand(
        "enable", "Enable a disabled group again, with the registry id and UUID it had (rspi_enable_group)");
    auto en = f.add_keys(e);
    f.add_fields(e, *en, Use::modify, kEnableNotes);
    e->callback([&host, f, en] {
        host.subject = f.subject(*en);
        host.open();
        const auto *rgy = en->slot("registry_id");
        DisabledEntry found;
        if (!find_disabled(host, true, en->keys[0], en->keys[1], rgy->given() ? &rgy->text : nullptr, found)) return;
        auto rec = f.record(*en, Use::modify);
        set_str(rec->registry_id, found.registry_id);
        if (!en->slot("uuid")->given() && !found.uuid.empty()) set_str(rec->uuid_string, found.uuid);
        if (f.call("enable", rec.get())) f.show(f.keyed(*en).get());
    });

    for (const auto &[name, op, help] :
         {std::tuple{"add-member", "rspi_add_group_member", "Add a user (who must exist) to a group"},
          std::tuple{"remove-member", "rspi_remove_group_member", "Remove a user from a group"}}) {
        auto *sub = cmd->add_subcommand(name, std::string(help) + " (" + op + ")");
        auto g = f.add_keys(sub);
        auto user = std::make_shared<std::array<std::string, 2>>();
        sub->add_option("user-domain", (*user)[0], "Domain of the user")->required();
        sub->add_option("user", (*user)[1], "User id within its domain")->required();
        sub->callback([&host, f, g, user, op = op] {
            host.subject = f.subject(*g) + ", member " + (*user)[0] + "/" + (*user)[1];
            host.open();
            auto u = FamilyOps<rspi_user>::blank();
            set_str(u->domain, (*user)[0]);
            set_str(u->user_id, (*user)[1]);
            if (host.report(op, host.sym<MemberOp>(op)(host.h, f.keyed(*g).get(), u.get()))) f.show(f.keyed(*g).get());
        });
    }

    auto *mb = cmd->add_subcommand("members", "List a group's members as \"domain user\" (rspi_group_userlist)");
    auto members = f.add_keys(mb);
    mb->callback([&host, f, members] {
        host.subject = f.subject(*members);
        host.open();
        auto list = own(rspi_alloc_userlist());
        if (host.report("rspi_group_userlist", host.sym<decltype(rspi_group_userlist)>("rspi_group_userlist")(
                                                   host.h, f.keyed(*members).get(), list.get())))
            print_entries<rspi_user>(host, list.get());
    });

    add_indexed_list(*cmd, host, true);

    struct FindArgs {
        std::string uuid, registry_id;
    };
    auto find = std::make_shared<FindArgs>();
    auto *fd = cmd->add_subcommand("find", "Look a group up by UUID (last match) or registry id (first match, any case)");
    auto *by_uuid = fd->add_option("--uuid", find->uuid, "UUID text (rspi_get_group_by_uuid)");
    auto *by_rid = fd->add_option("--registry-id", find->registry_id, "Registry id (rspi_get_group_by_rgyid)");
    by_uuid->excludes(by_rid);
    fd->require_option(1);
    fd->callback([&host, find] {
        host.open();
        auto g = own(rspi_alloc_group());
        const bool uuid = !find->uuid.empty();
        const char *op = uuid ? "rspi_get_group_by_uuid" : "rspi_get_group_by_rgyid";
        set_str(uuid ? g->uuid_string : g->registry_id, uuid ? find->uuid : find->registry_id);
        host.subject = uuid ? "group with UUID " + find->uuid : "group with registry id " + find->registry_id;
        if (host.report(op, host.sym<uint32_t(char **, rspi_group *)>(op)(host.h, g.get())))
            host.print(group_json(host, g.get()));
    });
}

void demo_groups(Host &host) {
    host.say("");
    host.say("== Groups");
    const FamilyOps<rspi_group> ops(host, kGroups);
    auto create = host.sym<decltype(rspi_create_group)>("rspi_create_group");
    auto add_member = host.sym<decltype(rspi_add_group_member)>("rspi_add_group_member");
    auto create_user = host.sym<decltype(rspi_create_user)>("rspi_create_user");

    auto staff = ops.keyed({"Sales", "Staff"});
    set_str(staff->registry_id, "GID-STAFF");
    set_str(staff->description, "everyone in sales");
    host.say("Create group Staff in domain Sales (registry id GID-STAFF): a group file of 7 lines, and its");
    host.say("line \"domain group  UUID  registry id\" in \"grouplist.file\".");
    if (!host.report("rspi_create_group", create(host.h, staff.get()))) return;
    show_file(host, "sales_staff.QZgroup");
    auto board = ops.keyed({"sales", "board"});
    set_str(board->registry_id, "GID-BOARD");
    host.report("rspi_create_group", create(host.h, board.get()));
    show_file(host, "grouplist.file");

    host.say("Two members: the users must exist, so create gina and hugo in domain corp first.");
    for (const char *id : {"gina", "hugo"}) {
        auto u = FamilyOps<rspi_user>::blank();
        set_str(u->domain, "corp");
        set_str(u->user_id, id);
        set_str(u->registry_id, std::string("UID-") + id);
        const uint32_t rc = create_user(host.h, u.get());
        if (rc != RSPI_RC_USER_EXISTS && !host.report("rspi_create_user", rc)) return;
        if (!host.report("rspi_add_group_member", add_member(host.h, staff.get(), u.get()))) return;
    }
    host.say("The members file lists the users, each user's groups file the group:");
    show_file(host, "sales_staff.GPmembers");
    show_file(host, "corp_gina.myGroups");

    host.say("Listing the enabled groups with the group-id filter \"st*\" (tolvadm asks rspi_get_grouplist with a");
    host.say("registry-id filter that matches nothing: the interface lists a group when both name filters match,");
    host.say("or else when its registry id does, and a null filter matches everything):");
    list_groups(host, 1, "st*", nullptr, nullptr, false);

    host.say("Disable Staff: its file becomes GID-STAFF.group and its list line \"- -  UUID  GID-STAFF\";");
    host.say("the members file stays.");
    if (!host.report("rspi_disable_group",
                     host.sym<decltype(rspi_disable_group)>("rspi_disable_group")(host.h, ops.keyed({"sales", "staff"}).get())))
        return;
    show_file(host, "grouplist.file");
    host.expect("rspi_get_group", host.sym<decltype(rspi_get_group)>("rspi_get_group")(host.h, ops.keyed({"sales", "staff"}).get()),
                RSPI_RC_INVALID_GROUP);
    auto found = own(rspi_alloc_group());
    set_str(found->registry_id, "gid-staff");
    host.say("Looking it up by registry id (any case) gives no names and a description:");
    if (host.report("rspi_get_group_by_rgyid",
                    host.sym<decltype(rspi_get_group_by_rgyid)>("rspi_get_group_by_rgyid")(host.h, found.get())))
        host.print(ops.json(found.get()));

    host.say("Enable it again under its registry id, without a UUID: it gets a new one and keeps its members.");
    auto again = ops.keyed({"sales", "staff"});
    set_str(again->registry_id, "GID-STAFF");
    if (!host.report("rspi_enable_group",
                     host.sym<decltype(rspi_enable_group)>("rspi_enable_group")(host.h, again.get())))
        return;
    ops.show(ops.keyed({"sales", "staff"}).get());
}

}  // namespace tolvadm
