// cmd_userlist.cpp - the listings of the indexed families: `user list` and
// `group list` with their filters, `user groups` and `group members`.
#include <map>
#include <set>

#include "family_cmds.h"

namespace tolvadm {

// Shared with cmd_user.cpp and cmd_group.cpp.
Json user_json(Host &host, const rspi_user *u);
Json group_json(Host &host, const rspi_group *g);
void register_userlist_commands(Command &user_cmd, Host &host);
void add_indexed_list(Command &cmd, Host &host, bool group);
void list_groups(Host &host, uint32_t mode, const char *id, const char *domain, const char *registry_id, bool fetch);
template <class R>
void print_entries(Host &host, typename Records<R>::List *list);

namespace {

Json json_of(Host &host, const rspi_user *u) { return user_json(host, u); }
Json json_of(Host &host, const rspi_group *g) { return group_json(host, g); }
const char *stem_of(const rspi_user *) { return "user"; }
const char *stem_of(const rspi_group *) { return "group"; }

// "domain id", empty for a disabled entry (its names are not known).
template <class R>
std::string names_of(const R *r) {
    const char *id = r->*Records<R>::table[0].text, *domain = r->*Records<R>::table[1].text;
    return id && domain ? std::string(domain) + " " + id : std::string();
}

// An entry as listed: its names (in full with fetch), or a disabled entry's registry id.
template <class R>
void add_entry(Host &host, const R *r, bool fetch, Json &all) {
    const auto &table = Records<R>::table;
    Json j;
    if (names_of(r).empty()) {
        j["registry_id"] = json_str(r->registry_id);
        host.value(std::string("(disabled) ") + (r->registry_id ? r->registry_id : ""));
    } else if (fetch) {
        j = json_of(host, r);
        if (!host.json) {
            host.print(j);
            host.say("");
        }
    } else {
        j = Json{{table[1].name, r->*table[1].text}, {table[0].name, r->*table[0].text}};
        host.value(names_of(r));
    }
    all.push_back(std::move(j));
}

// Walks a list to its end with next; false when next cannot go on. The
// cursor has moved past a bad entry unless the list could not be loaded.
template <class R, class Visit>
void walk(Host &host, typename Records<R>::List *list, bool fetch, Visit visit) {
    const std::string op = std::string("rspi_next_") + stem_of(static_cast<R *>(nullptr));
    auto next = host.sym<uint32_t(char **, typename Records<R>::List *, R *, int32_t)>(op.c_str());
    for (;;) {
        auto r = own(Records<R>::alloc());
        const uint32_t rc = next(host.h, list, r.get(), fetch ? 1 : 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report(op.c_str(), rc)) {
            if (rc == RSPI_RC_NO_MEMORY) break;
            if (!r->registry_id && names_of(r.get()).empty()) continue;
        }
        visit(std::move(r));
    }
}

// One filtered listing walked to its end. False when it failed.
template <class R>
bool entries(Host &host, uint32_t mode, const ListFilters &f, bool fetch, std::vector<Owned<R>> &out) {
    using L = typename Records<R>::List;
    // A fresh record for every listing: the listing does not release old entries.
    auto list = own(Records<R>::alloc_list());
    const std::string op = std::string("rspi_get_") + stem_of(static_cast<R *>(nullptr)) + "list";
    const uint32_t rc = host.sym<uint32_t(char **, L *, uint32_t, const char *, const char *, const char *)>(
        op.c_str())(host.h, list.get(), mode, f.id, f.domain, f.registry_id);
    // A malformed line ends the listing; the entries before it are still shown.
    if (!host.report(op.c_str(), rc) && rc != RSPI_RC_MALFORMED_ENTRY) return false;
    walk<R>(host, list.get(), fetch, [&](Owned<R> r) { out.push_back(std::move(r)); });
    return true;
}

struct ListArgs {
    std::string mode = "all", filters[3];  // id, domain, registry id
    Option *given[3] = {};
    bool fetch = false;
    const char *filter(int i) const { return *given[i] ? filters[i].c_str() : nullptr; }
};

// Every filter given must match.
template <class R>
void list_indexed(Host &host, uint32_t mode, const char *id, const char *domain, const char *registry_id, bool fetch) {
    host.open();
    const ListPlan plan = plan_listing(id, domain, registry_id);
    std::vector<Owned<R>> shown;
    if (!entries(host, mode, plan.first, fetch, shown)) return;
    if (plan.second) {
        std::vector<Owned<R>> by_registry_id;
        if (!entries(host, mode, *plan.second, fetch, by_registry_id)) return;
        std::set<std::string> keys;
        for (const auto &r : by_registry_id) keys.insert(names_of(r.get()));
        std::erase_if(shown, [&](const Owned<R> &r) { return !keys.count(names_of(r.get())); });
    }
    Json all = Json::array();
    for (const auto &r : shown) add_entry(host, r.get(), fetch, all);
    if (host.json) host.print(all);
}

}  // namespace

void list_groups(Host &host, uint32_t mode, const char *id, const char *domain, const char *registry_id, bool fetch) {
    list_indexed<rspi_group>(host, mode, id, domain, registry_id, fetch);
}

template <class R>
void print_entries(Host &host, typename Records<R>::List *list) {
    Json all = Json::array();
    walk<R>(host, list, false, [&](Owned<R> r) { add_entry(host, r.get(), false, all); });
    if (host.json) host.print(all);
}
template void print_entries<rspi_user>(Host &, rspi_userlist *);
template void print_entries<rspi_group>(Host &, rspi_grouplist *);

void add_indexed_list(Command &cmd, Host &host, bool group) {
    const std::string what = group ? "group" : "user";
    auto a = std::make_shared<ListArgs>();
    auto *l = cmd.add_subcommand("list", "List " + what + "s from the " + what + " list (rspi_get_" + what +
                                             "list): \"domain " + what +
                                             "\", or \"(disabled) <registry id>\"; filters are case-insensitive "
                                             "with '*', and an entry is listed when every filter given matches");
    l->add_option("--mode", a->mode, "all, enabled or disabled")->check_member({"all", "enabled", "disabled"});
    a->given[0] = l->add_option("--" + what, a->filters[0], "Filter on the " + what + " id");
    a->given[1] = l->add_option("--domain", a->filters[1], "Filter on the domain");
    a->given[2] = l->add_option("--registry-id", a->filters[2], "Filter on the registry id");
    l->add_flag("--fetch", a->fetch, "Read every enabled " + what + " in full");
    l->callback([&host, a, what, group] {
        static const std::map<std::string, uint32_t> modes{{"all", 0}, {"enabled", 1}, {"disabled", 2}};
        host.subject = what + " list";
        (group ? list_indexed<rspi_group> : list_indexed<rspi_user>)(host, modes.at(a->mode), a->filter(0),
                                                                     a->filter(1), a->filter(2), a->fetch);
    });
}

void register_userlist_commands(Command &user_cmd, Host &host) {
    add_indexed_list(user_cmd, host, false);
    auto names = std::make_shared<std::array<std::string, 2>>();
    auto *g = user_cmd.add_subcommand("groups", "List a user's groups as \"domain group\" (rspi_user_grouplist)");
    g->add_option("domain", (*names)[0], "Domain of the user")->required();
    g->add_option("user", (*names)[1], "User id within the domain")->required();
    g->callback([&host, names] {
        host.subject = "user " + (*names)[0] + "/" + (*names)[1];
        host.open();
        auto u = own(rspi_alloc_user());
        set_str(u->domain, (*names)[0]);
        set_str(u->user_id, (*names)[1]);
        auto groups = own(rspi_alloc_grouplist());
        if (host.report("rspi_user_grouplist",
                        host.sym<decltype(rspi_user_grouplist)>("rspi_user_grouplist")(host.h, u.get(), groups.get())))
            print_entries<rspi_group>(host, groups.get());
    });
}

}  // namespace tolvadm
