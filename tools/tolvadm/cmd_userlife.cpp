// cmd_userlife.cpp - tolvadm's `user enable`, finding a disabled user or group, and the demo's
// tour of a user's life: disabled, refused, found by registry id, enabled
// again, then deleted with its memberships and credentials.
#include <fstream>
#include <iostream>

#include "regfiles.h"
#include "family_cmds.h"

namespace tolvadm {

void register_userlife_commands(Command &user_cmd, Host &host);
void demo_lifecycle(Host &host);

namespace {

struct LifeArgs {
    std::string domain, user_id, registry_id, uuid;
    Option *registry_id_opt = nullptr, *uuid_opt = nullptr;
};

// Enable applies the fields it is given: give none.
Owned<rspi_user> names(const std::string &domain, const std::string &user_id) {
    auto u = FamilyOps<rspi_user>::blank();
    set_str(u->domain, domain);
    set_str(u->user_id, user_id);
    return u;
}

// The registry ids of the disabled users or groups, from their list.
template <class R>
void disabled_ids(Host &host, const char *stem, std::vector<std::string> &ids) {
    using L = typename Records<R>::List;
    auto list = own(Records<R>::alloc_list());
    const std::string get = std::string("rspi_get_") + stem + "list", next_op = std::string("rspi_next_") + stem;
    if (host.sym<uint32_t(char **, L *, uint32_t, const char *, const char *, const char *)>(get.c_str())(
            host.h, list.get(), 2, nullptr, nullptr, nullptr) != RSPI_RC_SUCCESS)
        return;
    auto next = host.sym<uint32_t(char **, L *, R *, int32_t)>(next_op.c_str());
    for (;;) {
        auto r = own(Records<R>::alloc());
        const uint32_t rc = next(host.h, list.get(), r.get(), 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES || rc == RSPI_RC_NO_MEMORY) break;
        if (rc == RSPI_RC_SUCCESS && r->registry_id && !(r.get()->*Records<R>::table[0].text))
            ids.emplace_back(r->registry_id);
    }
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The names and UUID kept in a disabled entry's file; false when it cannot be read.
bool disabled_file(Host &host, bool group, const std::string &registry_id, std::string &names, std::string &uuid) {
    const check::Format &f = group ? check::kGroupFile : check::kUserFile;
    std::string data;
    if (!read_registry_file(host, check::sanitised(registry_id) +
                                       std::string(group ? tolv::format::kDisabledGroupSuffix : tolv::format::kDisabledUserSuffix), data)) return false;
    const auto lines = check::record_lines(data);
    const auto line = [&](int n) { return n > 0 && lines.size() >= std::size_t(n) ? std::string(lines[n - 1]) : ""; };
    names = lower(line(f.domain_line) + "/" + line(f.id_line));
    uuid = line(f.uuid_line);
    return true;
}

// Exit status when the disabled entry to enable is ambiguous.
constexpr int kExitAmbiguous = kExitError;

// enable: the user comes back with the registry id and UUID it had (or those given).
void add_enable(Command *cmd, Host &host) {
    auto a = std::make_shared<LifeArgs>();
    auto *c = cmd->add_subcommand(
        "enable", "Enable a disabled user again, with the registry id and UUID it had (rspi_enable_user)");
    c->add_option("domain", a->domain, "Domain of the user")->required();
    c->add_option("user", a->user_id, "User id within the domain")->required();
    a->registry_id_opt = c->add_option("--registry-id", a->registry_id,
                                       "Registry id the user was disabled under (default: found from the "
                                       "disabled entries whose file holds these names)");
    a->uuid_opt = c->add_option("--uuid", a->uuid, "UUID text (default: the UUID the user had)");
    c->callback([&host, a] {
        host.subject = "user " + a->domain + "/" + a->user_id;
        host.open();
        auto u = names(a->domain, a->user_id);
        DisabledEntry found;
        if (!find_disabled(host, false, a->domain, a->user_id, *a->registry_id_opt ? &a->registry_id : nullptr, found))
            return;
        set_str(u->registry_id, found.registry_id);
        if (*a->uuid_opt)
            set_str(u->uuid_string, a->uuid);
        else if (!found.uuid.empty())
            set_str(u->uuid_string, found.uuid);
        if (!host.report("rspi_enable_user", host.sym<decltype(rspi_enable_user)>("rspi_enable_user")(host.h, u.get())))
            return;
        auto shown = names(a->domain, a->user_id);
        if (host.report("rspi_get_user", host.sym<decltype(rspi_get_user)>("rspi_get_user")(host.h, shown.get())))
            host.done(Json{{"domain", u->domain},
                           {"user_id", u->user_id},
                           {"registry_id", json_str(shown->registry_id)},
                           {"uuid", json_str(shown->uuid_string)}},
                      "enabled (registry id " + std::string(shown->registry_id ? shown->registry_id : "") +
                          ", UUID " + (shown->uuid_string ? shown->uuid_string : "") + ")");
    });
}

uint32_t call(Host &host, const char *op, rspi_user *u) {
    const uint32_t rc = host.sym<uint32_t(char **, rspi_user *)>(op)(host.h, u);
    host.say(std::string("  ") + op + " " + (u->domain ? u->domain : "-") + " " + (u->user_id ? u->user_id : "-") +
             ": rc = " + rc_text(rc));
    return rc;
}

bool registry_has(Host &host, const std::string &name) {
    std::ifstream in(std::string(*host.h) + name);
    return in.good();
}

}  // namespace

bool find_disabled(Host &host, bool group, const std::string &domain, const std::string &id,
                   const std::string *registry_id, DisabledEntry &out) {
    const std::string wanted = lower(domain + "/" + id);
    std::string names, uuid;
    if (registry_id) {
        out.registry_id = *registry_id;
        // The plug-in gives 10 or 12 when no disabled entry has this registry id.
        if (disabled_file(host, group, *registry_id, names, uuid)) out.uuid = uuid;
        return true;
    }
    std::vector<DisabledEntry> fits;
    std::vector<std::string> ids;
    group ? disabled_ids<rspi_group>(host, "group", ids) : disabled_ids<rspi_user>(host, "user", ids);
    for (const auto &rid : ids)
        if (disabled_file(host, group, rid, names, uuid) && names == wanted) fits.push_back({rid, uuid});
    const char *kind = group ? "group" : "user";
    if (fits.size() == 1) {
        out = fits.front();
        return true;
    }
    std::cerr << "tolvadm: " << escaped(host.subject) << ": ";
    if (fits.empty()) {
        const uint32_t rc = group ? RSPI_RC_GROUP_NOT_DISABLED : RSPI_RC_USER_NOT_DISABLED;
        std::cerr << rc << " " << rc_info(rc)->name << ": no disabled " << kind
                  << " of the list has a file holding these names; give --registry-id\n";
        host.fail(static_cast<int>(rc));
        return false;
    }
    std::cerr << fits.size() << " disabled " << kind << "s hold these names, with the registry ids";
    for (const auto &f : fits) std::cerr << " " << quoted_text(f.registry_id);
    std::cerr << "; choose one with --registry-id\n";
    host.fail(kExitAmbiguous);
    return false;
}

void register_userlife_commands(Command &user_cmd, Host &host) { add_enable(&user_cmd, host); }

void demo_lifecycle(Host &host) {
    host.say("");
    host.say("== A user's life");
    host.say("Create corp/carol, put her in the demo group and give her a credential:");
    {
        auto u = names("corp", "carol");
        set_str(u->registry_id, "CAROL-003");
        set_str(u->cert_dn, "CN=Carol,O=Corp");
        u->password = make_password("sunshine").release();
        if (!host.report("rspi_create_user", call(host, "rspi_create_user", u.get()))) return;
    }
    {
        auto g = own(rspi_alloc_group());
        set_str(g->domain, "corp");
        set_str(g->group_id, "carols");
        set_str(g->registry_id, "CAROLS-G");
        g->state = 2;
        host.report("rspi_create_group", host.sym<decltype(rspi_create_group)>("rspi_create_group")(host.h, g.get()));
        auto u = names("corp", "carol");
        const uint32_t rc =
            host.sym<decltype(rspi_add_group_member)>("rspi_add_group_member")(host.h, g.get(), u.get());
        host.say("  rspi_add_group_member corp carols <- corp carol: rc = " + rc_text(rc));
        host.report("rspi_add_group_member", rc);
        auto c = own(rspi_alloc_rescreds());
        set_str(c->name, "mail");
        c->state = 2;
        c->password = make_password("carol-mail").release();
        const uint32_t crc =
            host.sym<decltype(rspi_create_rescreds)>("rspi_create_rescreds")(host.h, u.get(), c.get());
        host.say("  rspi_create_rescreds corp carol mail: rc = " + rc_text(crc));
        host.report("rspi_create_rescreds", crc);
    }

    host.say("");
    host.say("Disable her: her credentials go, her file becomes \"CAROL-003.user\", her memberships stay.");
    {
        auto u = names("corp", "carol");
        host.report("rspi_disable_user", call(host, "rspi_disable_user", u.get()));
    }
    host.say(std::string("  CAROL-003.user exists: ") + (registry_has(host, "CAROL-003.user") ? "yes" : "no") +
             ", corp_carol_mail.QZrescreds exists: " + (registry_has(host, "corp_carol_mail.QZrescreds") ? "yes" : "no"));
    {
        auto u = names("corp", "carol");
        auto pw = make_password("sunshine");
        const uint32_t rc =
            host.sym<decltype(rspi_authenticate_user)>("rspi_authenticate_user")(host.h, u.get(), pw.get());
        host.say("  rspi_authenticate_user corp carol (disabled): rc = " + rc_text(rc));
        host.expect("rspi_authenticate_user", rc, RSPI_RC_INVALID_USER);
        auto by = own(rspi_alloc_user());
        set_str(by->registry_id, "carol-003");
        const uint32_t frc =
            host.sym<decltype(rspi_get_user_by_rgyid)>("rspi_get_user_by_rgyid")(host.h, by.get());
        host.say("  rspi_get_user_by_rgyid \"carol-003\": rc = " + rc_text(frc) + ", description \"" +
                 (by->description ? by->description : "") + "\"");
        host.report("rspi_get_user_by_rgyid", frc);
    }

    host.say("");
    host.say("Enable her again under her registry id (a new UUID, since none is given), and sign in:");
    {
        auto u = names("corp", "carol");
        set_str(u->registry_id, "CAROL-003");
        host.report("rspi_enable_user", call(host, "rspi_enable_user", u.get()));
        auto pw = make_password("sunshine");
        const uint32_t rc =
            host.sym<decltype(rspi_authenticate_user)>("rspi_authenticate_user")(host.h, u.get(), pw.get());
        host.say("  rspi_authenticate_user corp carol: rc = " + rc_text(rc));
        host.report("rspi_authenticate_user", rc);
    }

    host.say("");
    host.say("Delete her: memberships, credentials, certificate-DN line, user file and list line all go.");
    {
        auto u = names("corp", "carol");
        host.report("rspi_delete_user", call(host, "rspi_delete_user", u.get()));
        host.say(std::string("  corp_carols.GPmembers exists: ") +
                 (registry_has(host, "corp_carols.GPmembers") ? "yes" : "no") +
                 ", corp_carol.QZuser exists: " + (registry_has(host, "corp_carol.QZuser") ? "yes" : "no"));
    }
}

}  // namespace tolvadm
