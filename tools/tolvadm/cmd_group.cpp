// cmd_group.cpp - tolvadm commands for groups: create, get, modify, delete, disable, enable, members, look up, list.
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tolvadm.h"

namespace tolvadm {

// Shared with cmd_userlist.cpp: walking a user list and a group list with next
// alone, one entry per line (a JSON array with --json).
void print_user_entries(Host &host, rspi_userlist *list);
void print_group_entries(Host &host, rspi_grouplist *list, bool fetch);

namespace {

// Command-line values; the defaults are the record's "not given" values.
struct GroupArgs {
    std::string domain, group_id;
    std::string description, uuid, registry_id, blob_file;
    Option *description_opt = nullptr, *uuid_opt = nullptr, *registry_id_opt = nullptr, *blob_opt = nullptr;
    uint32_t attribute = 0;
    uint32_t state = 2;
    std::string user_domain, user_id;
    std::string mode = "all", id_filter, domain_filter, registry_id_filter;
    Option *id_filter_opt = nullptr, *domain_filter_opt = nullptr, *registry_id_filter_opt = nullptr;
    bool fetch = false;
};

void add_keys(Command *cmd, GroupArgs &a) {
    cmd->add_option("domain", a.domain, "Domain of the group")->required();
    cmd->add_option("group", a.group_id, "Group id within the domain")->required();
}

enum class Use { create, modify, enable };

// The record's fields.
void add_fields(Command *cmd, GroupArgs &a, Use use) {
    a.description_opt = cmd->add_option("--description", a.description, "Free text");
    a.registry_id_opt = cmd->add_option(
        "--registry-id", a.registry_id,
        use == Use::create   ? "Registry id, names the disabled group file (default: GROUP@DOMAIN, lower-cased)"
        : use == Use::enable ? "Registry id the group was disabled under (default: found from the disabled "
                               "entries whose file holds these names)"
                             : "Registry id (names the disabled group file)");
    a.uuid_opt = cmd->add_option("--uuid", a.uuid,
                                 use == Use::create   ? "UUID text (default: a new UUID)"
                                 : use == Use::enable ? "UUID text (default: the UUID the group had)"
                                                      : "UUID text");
    a.blob_opt = cmd->add_option("--blob-file", a.blob_file, "File whose bytes become the blob");
    cmd->add_option("--attribute", a.attribute, "Unsigned number (0: not given)");
    cmd->add_option("--state", a.state, "Unsigned number (2: not given; stored as 1)");
}

Owned<rspi_group> keys_record(const std::string &domain, const std::string &group_id) {
    auto g = own(rspi_alloc_group());
    set_str(g->domain, domain);
    set_str(g->group_id, group_id);
    g->state = 2;
    return g;
}

Owned<rspi_group> fields_record(const GroupArgs &a) {
    auto g = keys_record(a.domain, a.group_id);
    if (*a.description_opt) set_str(g->description, a.description);
    if (*a.registry_id_opt) set_str(g->registry_id, a.registry_id);
    if (*a.uuid_opt) set_str(g->uuid_string, a.uuid);
    if (*a.blob_opt) g->blob = make_blob(read_file_bytes(a.blob_file)).release();
    g->attribute = a.attribute;
    g->state = a.state;
    return g;
}

std::string subject_of(const GroupArgs &a) { return "group " + a.domain + "/" + a.group_id; }

Owned<rspi_user> user_record(const std::string &domain, const std::string &user_id) {
    auto u = own(rspi_alloc_user());
    set_str(u->domain, domain);
    set_str(u->user_id, user_id);
    return u;
}

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

Json group_json(const rspi_group *g) {
    Json j;
    j["domain"] = json_str(g->domain);
    j["group_id"] = json_str(g->group_id);
    j["description"] = json_str(g->description);
    j["attribute"] = g->attribute;
    j["uuid"] = json_str(g->uuid_string);
    j["state"] = g->state;
    j["registry_id"] = json_str(g->registry_id);
    j["blob"] = json_blob(g->blob);
    return j;
}

bool get_group(Host &host, rspi_group *g) {
    return host.report("rspi_get_group", host.sym<decltype(rspi_get_group)>("rspi_get_group")(host.h, g));
}

// Shows the group as stored now, with its members.
void show(Host &host, const std::string &domain, const std::string &group_id) {
    auto g = keys_record(domain, group_id);
    if (!get_group(host, g.get())) return;
    Json j = group_json(g.get());
    j["members"] = members_json(host, g->members);
    host.print(j);
}

uint32_t mode_value(const std::string &mode) {
    static const std::map<std::string, uint32_t> modes{{"all", 0}, {"enabled", 1}, {"disabled", 2}};
    return modes.at(mode);
}

const char *filter(const Option *opt, const std::string &value) { return *opt ? value.c_str() : nullptr; }

// One listing walked to its end (see user_entries). False when it failed.
bool group_entries(Host &host, uint32_t mode, const ListFilters &f, bool fetch,
                   std::vector<Owned<rspi_group>> &out) {
    auto list = own(rspi_alloc_grouplist());
    const uint32_t rc = host.sym<decltype(rspi_get_grouplist)>("rspi_get_grouplist")(host.h, list.get(), mode, f.id,
                                                                                     f.domain, f.registry_id);
    // A malformed line ends the listing; the entries before it are still shown.
    if (!host.report("rspi_get_grouplist", rc) && rc != RSPI_RC_MALFORMED_ENTRY) return false;
    auto next = host.sym<decltype(rspi_next_group)>("rspi_next_group");
    for (;;) {
        auto g = own(rspi_alloc_group());
        const uint32_t n = next(host.h, list.get(), g.get(), fetch ? 1 : 0);
        if (n == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_group", n)) {
            // The cursor has moved past a bad entry unless the list could not be loaded.
            if (n == RSPI_RC_NO_MEMORY) break;
            if (!g->group_id || !g->domain) continue;
        }
        out.push_back(std::move(g));
    }
    return true;
}

std::string group_key(const rspi_group *g) {
    return g->group_id && g->domain ? std::string(g->domain) + " " + g->group_id : std::string();
}

void print_groups(Host &host, const std::vector<Owned<rspi_group>> &groups, bool fetch) {
    Json all = Json::array();
    for (const auto &g : groups) {
        Json j;
        if (!g->group_id || !g->domain) {
            // A disabled group: only its registry id is known.
            j["registry_id"] = json_str(g->registry_id);
            host.value(std::string("(disabled) ") + (g->registry_id ? g->registry_id : ""));
        } else if (fetch) {
            j = group_json(g.get());
            if (!host.json) {
                host.print(j);
                host.say("");
            }
        } else {
            j = Json{{"domain", g->domain}, {"group_id", g->group_id}};
            host.value(group_key(g.get()));
        }
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
}

// Lists "grouplist.file"; every filter given must match.
void list_groups(Host &host, uint32_t mode, const char *id_filter, const char *domain_filter,
                 const char *registry_id_filter, bool fetch) {
    host.open();
    const ListPlan plan = plan_listing(id_filter, domain_filter, registry_id_filter);
    std::vector<Owned<rspi_group>> shown;
    if (!group_entries(host, mode, plan.first, fetch, shown)) return;
    if (plan.second) {
        std::vector<Owned<rspi_group>> by_registry_id;
        if (!group_entries(host, mode, *plan.second, fetch, by_registry_id)) return;
        std::set<std::string> keys;
        for (const auto &g : by_registry_id) keys.insert(group_key(g.get()));
        std::erase_if(shown, [&](const Owned<rspi_group> &g) { return !keys.count(group_key(g.get())); });
    }
    print_groups(host, shown, fetch);
}

using MemberOp = uint32_t(char **, rspi_group *, rspi_user *);

void member_command(Host &host, const char *op_name, const GroupArgs &a) {
    host.subject = "group " + a.domain + "/" + a.group_id + ", member " + a.user_domain + "/" + a.user_id;
    host.open();
    auto g = keys_record(a.domain, a.group_id);
    auto u = user_record(a.user_domain, a.user_id);
    if (host.report(op_name, host.sym<MemberOp>(op_name)(host.h, g.get(), u.get()))) show(host, a.domain, a.group_id);
}

void find_group(Host &host, const GroupArgs &a) {
    host.open();
    auto g = own(rspi_alloc_group());
    uint32_t rc;
    const char *op;
    if (!a.uuid.empty()) {
        set_str(g->uuid_string, a.uuid);
        host.subject = "group with UUID " + a.uuid;
        op = "rspi_get_group_by_uuid";
        rc = host.sym<decltype(rspi_get_group_by_uuid)>(op)(host.h, g.get());
    } else {
        set_str(g->registry_id, a.registry_id);
        host.subject = "group with registry id " + a.registry_id;
        op = "rspi_get_group_by_rgyid";
        rc = host.sym<decltype(rspi_get_group_by_rgyid)>(op)(host.h, g.get());
    }
    if (host.report(op, rc)) host.print(group_json(g.get()));
}

// A registry file as it is on disk, for the demo.
void show_file(Host &host, const std::string &name) {
    std::ifstream in(std::string(*host.h) + name);
    if (!in) {
        host.say("  " + name + ": (no such file)");
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    host.say("  " + name + ":");
    std::string line;
    while (std::getline(text, line)) host.value("    " + line);
}

}  // namespace

void print_group_entries(Host &host, rspi_grouplist *list, bool fetch) {
    auto next = host.sym<decltype(rspi_next_group)>("rspi_next_group");
    Json all = Json::array();
    for (;;) {
        auto g = own(rspi_alloc_group());
        const uint32_t rc = next(host.h, list, g.get(), fetch ? 1 : 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_group", rc)) {
            // The cursor has moved past a bad entry unless the list could not be loaded.
            if (rc == RSPI_RC_NO_MEMORY) break;
            if (!g->group_id || !g->domain) continue;
        }
        Json j;
        std::string line;
        if (!g->group_id || !g->domain) {
            // A disabled group: only its registry id is known.
            j["registry_id"] = json_str(g->registry_id);
            line = std::string("(disabled) ") + (g->registry_id ? g->registry_id : "");
        } else {
            j = fetch ? group_json(g.get()) : Json{{"domain", g->domain}, {"group_id", g->group_id}};
            line = std::string(g->domain) + " " + g->group_id;
        }
        if (!host.json && fetch && g->group_id) {
            host.print(j);
            host.say("");
        } else {
            host.value(line);
        }
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
}

void register_group_commands(Command &app, Host &host) {
    auto *cmd = app.add_subcommand(
        "group", "Groups: create, get, modify, delete, disable, enable, members, list, find");
    cmd->require_subcommand(1);

    auto create = std::make_shared<GroupArgs>();
    auto *c = cmd->add_subcommand("create", "Create a group (rspi_create_group); prints it with its new UUID");
    add_keys(c, *create);
    add_fields(c, *create, Use::create);
    c->callback([&host, create] {
        host.subject = subject_of(*create);
        host.open();
        auto g = fields_record(*create);
        if (!*create->registry_id_opt) {
            std::string rgy = create->group_id + "@" + create->domain;
            for (char &ch : rgy) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            set_str(g->registry_id, rgy);
        }
        if (host.report("rspi_create_group", host.sym<decltype(rspi_create_group)>("rspi_create_group")(host.h, g.get())))
            show(host, create->domain, create->group_id);
    });

    auto get = std::make_shared<GroupArgs>();
    auto *g = cmd->add_subcommand("get", "Show a group and its members (rspi_get_group)");
    add_keys(g, *get);
    g->callback([&host, get] {
        host.subject = subject_of(*get);
        host.open();
        show(host, get->domain, get->group_id);
    });

    auto modify = std::make_shared<GroupArgs>();
    auto *m = cmd->add_subcommand("modify", "Change the given fields of a group (rspi_modify_group)");
    add_keys(m, *modify);
    add_fields(m, *modify, Use::modify);
    m->callback([&host, modify] {
        host.subject = subject_of(*modify);
        host.open();
        auto rec = fields_record(*modify);
        if (host.report("rspi_modify_group", host.sym<decltype(rspi_modify_group)>("rspi_modify_group")(host.h, rec.get())))
            show(host, modify->domain, modify->group_id);
    });

    auto del = std::make_shared<GroupArgs>();
    auto *d = cmd->add_subcommand(
        "delete", "Delete a group: its memberships, group file, blob and list line (rspi_delete_group)");
    add_keys(d, *del);
    d->callback([&host, del] {
        host.subject = subject_of(*del);
        host.open();
        auto rec = keys_record(del->domain, del->group_id);
        if (host.report("rspi_delete_group",
                        host.sym<decltype(rspi_delete_group)>("rspi_delete_group")(host.h, rec.get())))
            host.done(Json{{"domain", rec->domain}, {"group_id", rec->group_id}}, "deleted");
    });

    auto dis = std::make_shared<GroupArgs>();
    auto *ds = cmd->add_subcommand(
        "disable", "Disable a group: its file takes the name <registry id>.group (rspi_disable_group)");
    add_keys(ds, *dis);
    ds->callback([&host, dis] {
        host.subject = subject_of(*dis);
        host.open();
        auto rec = keys_record(dis->domain, dis->group_id);
        if (host.report("rspi_disable_group",
                        host.sym<decltype(rspi_disable_group)>("rspi_disable_group")(host.h, rec.get())))
            host.done(Json{{"domain", rec->domain}, {"group_id", rec->group_id}}, "disabled");
    });

    auto en = std::make_shared<GroupArgs>();
    auto *e = cmd->add_subcommand(
        "enable", "Enable a disabled group again, with the registry id and UUID it had (rspi_enable_group)");
    add_keys(e, *en);
    add_fields(e, *en, Use::enable);
    e->callback([&host, en] {
        host.subject = subject_of(*en);
        host.open();
        DisabledEntry found;
        if (!find_disabled(host, true, en->domain, en->group_id, *en->registry_id_opt ? &en->registry_id : nullptr,
                           found))
            return;
        auto rec = fields_record(*en);
        set_str(rec->registry_id, found.registry_id);
        if (!*en->uuid_opt && !found.uuid.empty()) set_str(rec->uuid_string, found.uuid);
        if (host.report("rspi_enable_group", host.sym<decltype(rspi_enable_group)>("rspi_enable_group")(host.h, rec.get())))
            show(host, en->domain, en->group_id);
    });

    for (const auto &[name, op, help] :
         {std::tuple{"add-member", "rspi_add_group_member", "Add a user (who must exist) to a group"},
          std::tuple{"remove-member", "rspi_remove_group_member", "Remove a user from a group"}}) {
        auto args = std::make_shared<GroupArgs>();
        auto *sub = cmd->add_subcommand(name, std::string(help) + " (" + op + ")");
        add_keys(sub, *args);
        sub->add_option("user-domain", args->user_domain, "Domain of the user")->required();
        sub->add_option("user", args->user_id, "User id within its domain")->required();
        sub->callback([&host, args, op = op] { member_command(host, op, *args); });
    }

    auto members = std::make_shared<GroupArgs>();
    auto *mb = cmd->add_subcommand("members", "List a group's members as \"domain user\" (rspi_group_userlist)");
    add_keys(mb, *members);
    mb->callback([&host, members] {
        host.subject = subject_of(*members);
        host.open();
        auto rec = keys_record(members->domain, members->group_id);
        auto list = own(rspi_alloc_userlist());
        if (host.report("rspi_group_userlist",
                        host.sym<decltype(rspi_group_userlist)>("rspi_group_userlist")(host.h, rec.get(), list.get())))
            print_user_entries(host, list.get());
    });

    auto list = std::make_shared<GroupArgs>();
    auto *l = cmd->add_subcommand("list",
                                  "List groups from the group list (rspi_get_grouplist): \"domain group\", or "
                                  "\"(disabled) <registry id>\"; filters are case-insensitive with '*', "
                                  "and a group is listed when every filter given matches");
    l->add_option("--mode", list->mode, "all, enabled or disabled")
        ->check_member({"all", "enabled", "disabled"});
    list->id_filter_opt = l->add_option("--group", list->id_filter, "Filter on the group id");
    list->domain_filter_opt = l->add_option("--domain", list->domain_filter, "Filter on the domain");
    list->registry_id_filter_opt = l->add_option("--registry-id", list->registry_id_filter, "Filter on the registry id");
    l->add_flag("--fetch", list->fetch, "Read every enabled group in full");
    l->callback([&host, list] {
        host.subject = "group list";
        const GroupArgs &a = *list;
        list_groups(host, mode_value(a.mode), filter(a.id_filter_opt, a.id_filter),
                    filter(a.domain_filter_opt, a.domain_filter),
                    filter(a.registry_id_filter_opt, a.registry_id_filter), a.fetch);
    });

    auto find = std::make_shared<GroupArgs>();
    auto *f = cmd->add_subcommand(
        "find", "Look a group up by UUID (last match) or registry id (first match, any case)");
    auto *by_uuid = f->add_option("--uuid", find->uuid, "UUID text (rspi_get_group_by_uuid)");
    auto *by_rid = f->add_option("--registry-id", find->registry_id, "Registry id (rspi_get_group_by_rgyid)");
    by_uuid->excludes(by_rid);
    f->require_option(1);
    f->callback([&host, find] { find_group(host, *find); });
}

void demo_groups(Host &host) {
    host.say("");
    host.say("== Groups");
    auto create = host.sym<decltype(rspi_create_group)>("rspi_create_group");
    auto add_member = host.sym<decltype(rspi_add_group_member)>("rspi_add_group_member");
    auto create_user = host.sym<decltype(rspi_create_user)>("rspi_create_user");

    auto staff = keys_record("Sales", "Staff");
    set_str(staff->registry_id, "GID-STAFF");
    set_str(staff->description, "everyone in sales");
    host.say("Create group Staff in domain Sales (registry id GID-STAFF): a group file of 7 lines, and its");
    host.say("line \"domain group  UUID  registry id\" in \"grouplist.file\".");
    if (!host.report("rspi_create_group", create(host.h, staff.get()))) return;
    show_file(host, "sales_staff.QZgroup");
    auto board = keys_record("sales", "board");
    set_str(board->registry_id, "GID-BOARD");
    host.report("rspi_create_group", create(host.h, board.get()));
    show_file(host, "grouplist.file");

    host.say("Two members: the users must exist, so create gina and hugo in domain corp first.");
    for (const char *id : {"gina", "hugo"}) {
        auto u = user_record("corp", id);
        set_str(u->registry_id, std::string("UID-") + id);
        u->flag_1 = u->account_valid = 2;
        u->number_2 = -1;
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
                     host.sym<decltype(rspi_disable_group)>("rspi_disable_group")(host.h, keys_record("sales", "staff").get())))
        return;
    show_file(host, "grouplist.file");
    host.expect("rspi_get_group", host.sym<decltype(rspi_get_group)>("rspi_get_group")(host.h, keys_record("sales", "staff").get()),
                RSPI_RC_INVALID_GROUP);
    auto found = own(rspi_alloc_group());
    set_str(found->registry_id, "gid-staff");
    host.say("Looking it up by registry id (any case) gives no names and a description:");
    if (host.report("rspi_get_group_by_rgyid",
                    host.sym<decltype(rspi_get_group_by_rgyid)>("rspi_get_group_by_rgyid")(host.h, found.get())))
        host.print(group_json(found.get()));

    host.say("Enable it again under its registry id, without a UUID: it gets a new one and keeps its members.");
    auto again = keys_record("sales", "staff");
    set_str(again->registry_id, "GID-STAFF");
    if (!host.report("rspi_enable_group",
                     host.sym<decltype(rspi_enable_group)>("rspi_enable_group")(host.h, again.get())))
        return;
    show(host, "sales", "staff");
}

}  // namespace tolvadm
