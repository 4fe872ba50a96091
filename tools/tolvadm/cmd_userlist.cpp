// cmd_userlist.cpp - tolvadm's user enumeration: `user list` and `user groups`,
// added under the `user` command by register_userlist_commands.
#include <map>

#include "tolvadm.h"

namespace tolvadm {

// Shared with cmd_group.cpp.
void print_user_entries(Host &host, rspi_userlist *list);
void print_group_entries(Host &host, rspi_grouplist *list, bool fetch);
void register_userlist_commands(CLI::App &user_cmd, Host &host);

namespace {

struct UserListArgs {
    std::string mode = "all", id_filter, domain_filter, registry_id_filter;
    CLI::Option *id_opt = nullptr, *domain_opt = nullptr, *registry_id_opt = nullptr;
    std::string domain, user_id;
};

const char *filter(const CLI::Option *opt, const std::string &value) { return *opt ? value.c_str() : nullptr; }

void list_users(Host &host, const UserListArgs &a) {
    static const std::map<std::string, uint32_t> modes{{"all", 0}, {"enabled", 1}, {"disabled", 2}};
    host.open();
    // A fresh record for every listing: the listing does not release old entries.
    auto list = own(rspi_alloc_userlist());
    const uint32_t rc = host.sym<decltype(rspi_get_userlist)>("rspi_get_userlist")(
        host.h, list.get(), modes.at(a.mode), filter(a.id_opt, a.id_filter), filter(a.domain_opt, a.domain_filter),
        filter(a.registry_id_opt, a.registry_id_filter));
    // A malformed line ends the listing; the entries before it are still shown.
    if (!host.report("rspi_get_userlist", rc) && rc != RSPI_RC_MALFORMED_ENTRY) return;
    print_user_entries(host, list.get());
}

void user_groups(Host &host, const UserListArgs &a) {
    host.open();
    auto u = own(rspi_alloc_user());
    set_str(u->domain, a.domain);
    set_str(u->user_id, a.user_id);
    auto groups = own(rspi_alloc_grouplist());
    if (host.report("rspi_user_grouplist",
                    host.sym<decltype(rspi_user_grouplist)>("rspi_user_grouplist")(host.h, u.get(), groups.get())))
        print_group_entries(host, groups.get(), false);
}

}  // namespace

void print_user_entries(Host &host, rspi_userlist *list) {
    auto next = host.sym<decltype(rspi_next_user)>("rspi_next_user");
    Json all = Json::array();
    for (;;) {
        auto u = own(rspi_alloc_user());
        const uint32_t rc = next(host.h, list, u.get(), 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_user", rc)) {
            // The cursor has moved past a bad entry unless the list could not be loaded.
            if (rc == RSPI_RC_NO_MEMORY) break;
            continue;
        }
        if (!u->user_id || !u->domain) {
            // A disabled user: only its registry id is known.
            const std::string rid = u->registry_id ? u->registry_id : "";
            host.say("(disabled) " + rid);
            all.push_back(Json{{"registry_id", rid}});
        } else {
            host.say(std::string(u->domain) + " " + u->user_id);
            all.push_back(Json{{"domain", u->domain}, {"user_id", u->user_id}});
        }
    }
    if (host.json) host.print(all);
}

void register_userlist_commands(CLI::App &user_cmd, Host &host) {
    auto list = std::make_shared<UserListArgs>();
    auto *l = user_cmd.add_subcommand("list",
                                      "List users from the user list (rspi_get_userlist): \"domain user\", or "
                                      "\"(disabled) <registry id>\"; filters are case-insensitive with '*'");
    l->add_option("--mode", list->mode, "all, enabled or disabled")
        ->check(CLI::IsMember({"all", "enabled", "disabled"}));
    list->id_opt = l->add_option("--user", list->id_filter, "Filter on the user id");
    list->domain_opt = l->add_option("--domain", list->domain_filter, "Filter on the domain");
    list->registry_id_opt = l->add_option("--registry-id", list->registry_id_filter, "Filter on the registry id");
    l->callback([&host, list] { list_users(host, *list); });

    auto groups = std::make_shared<UserListArgs>();
    auto *g = user_cmd.add_subcommand("groups", "List a user's groups as \"domain group\" (rspi_user_grouplist)");
    g->add_option("domain", groups->domain, "Domain of the user")->required();
    g->add_option("user", groups->user_id, "User id within the domain")->required();
    g->callback([&host, groups] { user_groups(host, *groups); });
}

}  // namespace tolvadm
