// cmd_userlist.cpp - tolvadm's user enumeration: `user list` and `user groups`,
// added under the `user` command by register_userlist_commands.
#include <map>
#include <set>

#include "tolvadm.h"

namespace tolvadm {

// Shared with cmd_group.cpp and cmd_user.cpp.
Json user_json(Host &host, const rspi_user *u);
void print_user_entries(Host &host, rspi_userlist *list);
void print_group_entries(Host &host, rspi_grouplist *list, bool fetch);
void register_userlist_commands(Command &user_cmd, Host &host);

namespace {

struct UserListArgs {
    std::string mode = "all", id_filter, domain_filter, registry_id_filter;
    Option *id_opt = nullptr, *domain_opt = nullptr, *registry_id_opt = nullptr;
    std::string domain, user_id;
    bool fetch = false;
};

const char *filter(const Option *opt, const std::string &value) { return *opt ? value.c_str() : nullptr; }

// One listing walked to its end: enabled entries with their names (in full
// with fetch), disabled ones with their registry id. False when it failed.
bool user_entries(Host &host, uint32_t mode, const ListFilters &f, bool fetch, std::vector<Owned<rspi_user>> &out) {
    // A fresh record for every listing: the listing does not release old entries.
    auto list = own(rspi_alloc_userlist());
    const uint32_t rc = host.sym<decltype(rspi_get_userlist)>("rspi_get_userlist")(host.h, list.get(), mode, f.id,
                                                                                   f.domain, f.registry_id);
    // A malformed line ends the listing; the entries before it are still shown.
    if (!host.report("rspi_get_userlist", rc) && rc != RSPI_RC_MALFORMED_ENTRY) return false;
    auto next = host.sym<decltype(rspi_next_user)>("rspi_next_user");
    for (;;) {
        auto u = own(rspi_alloc_user());
        const uint32_t n = next(host.h, list.get(), u.get(), fetch ? 1 : 0);
        if (n == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_user", n)) {
            // The cursor has moved past a bad entry unless the list could not be loaded.
            if (n == RSPI_RC_NO_MEMORY) break;
            if (!u->registry_id && (!u->user_id || !u->domain)) continue;
        }
        out.push_back(std::move(u));
    }
    return true;
}

std::string user_key(const rspi_user *u) {
    return u->user_id && u->domain ? std::string(u->domain) + " " + u->user_id : std::string();
}

void list_users(Host &host, const UserListArgs &a) {
    static const std::map<std::string, uint32_t> modes{{"all", 0}, {"enabled", 1}, {"disabled", 2}};
    host.subject = "user list";
    host.open();
    std::vector<Owned<rspi_user>> shown;
    const auto run = [&](const ListFilters &f, std::vector<Owned<rspi_user>> &out) {
        return user_entries(host, modes.at(a.mode), f, a.fetch, out);
    };
    const ListPlan plan = plan_listing(filter(a.id_opt, a.id_filter), filter(a.domain_opt, a.domain_filter),
                                       filter(a.registry_id_opt, a.registry_id_filter));
    if (!run(plan.first, shown)) return;
    if (plan.second) {
        std::vector<Owned<rspi_user>> by_registry_id;
        if (!run(*plan.second, by_registry_id)) return;
        std::set<std::string> keys;
        for (const auto &u : by_registry_id) keys.insert(user_key(u.get()));
        std::erase_if(shown, [&](const Owned<rspi_user> &u) { return !keys.count(user_key(u.get())); });
    }
    Json all = Json::array();
    for (const auto &u : shown) {
        Json j;
        if (!u->user_id || !u->domain) {
            // A disabled user: only its registry id is known.
            const std::string rid = u->registry_id ? u->registry_id : "";
            j = Json{{"registry_id", rid}};
            host.value("(disabled) " + rid);
        } else if (a.fetch) {
            j = user_json(host, u.get());
            if (!host.json) {
                host.print(j);
                host.say("");
            }
        } else {
            j = Json{{"domain", u->domain}, {"user_id", u->user_id}};
            host.value(user_key(u.get()));
        }
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
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
            host.value("(disabled) " + rid);
            all.push_back(Json{{"registry_id", rid}});
        } else {
            host.value(std::string(u->domain) + " " + u->user_id);
            all.push_back(Json{{"domain", u->domain}, {"user_id", u->user_id}});
        }
    }
    if (host.json) host.print(all);
}

void register_userlist_commands(Command &user_cmd, Host &host) {
    auto list = std::make_shared<UserListArgs>();
    auto *l = user_cmd.add_subcommand("list",
                                      "List users from the user list (rspi_get_userlist): \"domain user\", or "
                                      "\"(disabled) <registry id>\"; filters are case-insensitive with '*', "
                                      "and an entry is listed when every filter given matches");
    l->add_option("--mode", list->mode, "all, enabled or disabled")
        ->check_member({"all", "enabled", "disabled"});
    list->id_opt = l->add_option("--user", list->id_filter, "Filter on the user id");
    list->domain_opt = l->add_option("--domain", list->domain_filter, "Filter on the domain");
    list->registry_id_opt = l->add_option("--registry-id", list->registry_id_filter, "Filter on the registry id");
    l->add_flag("--fetch", list->fetch, "Read every enabled user in full");
    l->callback([&host, list] { list_users(host, *list); });

    auto groups = std::make_shared<UserListArgs>();
    auto *g = user_cmd.add_subcommand("groups", "List a user's groups as \"domain group\" (rspi_user_grouplist)");
    g->add_option("domain", groups->domain, "Domain of the user")->required();
    g->add_option("user", groups->user_id, "User id within the domain")->required();
    g->callback([&host, groups] {
        host.subject = "user " + groups->domain + "/" + groups->user_id;
        user_groups(host, *groups);
    });
}

}  // namespace tolvadm
