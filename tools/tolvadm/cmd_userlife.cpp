// cmd_userlife.cpp - tolvadm's `user disable|enable|delete`, and the demo's
// tour of a user's life: disabled, refused, found by registry id, enabled
// again, then deleted with its memberships and credentials.
#include <fstream>

#include "tolvadm.h"

namespace tolvadm {

void register_userlife_commands(CLI::App &user_cmd, Host &host);
void demo_lifecycle(Host &host);

namespace {

struct LifeArgs {
    std::string domain, user_id, registry_id, uuid;
    CLI::Option *registry_id_opt = nullptr, *uuid_opt = nullptr;
};

Owned<rspi_user> names(const std::string &domain, const std::string &user_id) {
    auto u = own(rspi_alloc_user());
    set_str(u->domain, domain);
    set_str(u->user_id, user_id);
    // Enable applies the fields it is given: give none.
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}

void add_life(CLI::App *cmd, Host &host, const char *name, const char *op, const char *help) {
    auto a = std::make_shared<LifeArgs>();
    auto *c = cmd->add_subcommand(name, help);
    c->add_option("domain", a->domain, "Domain of the user")->required();
    c->add_option("user", a->user_id, "User id within the domain")->required();
    if (std::string(name) == "enable") {
        a->registry_id_opt =
            c->add_option("--registry-id", a->registry_id, "Registry id the user was disabled under")->required();
        a->uuid_opt = c->add_option("--uuid", a->uuid, "UUID text to keep (default: a new UUID)");
    }
    c->callback([&host, a, op] {
        host.open();
        auto u = names(a->domain, a->user_id);
        if (a->registry_id_opt && *a->registry_id_opt) set_str(u->registry_id, a->registry_id);
        if (a->uuid_opt && *a->uuid_opt) set_str(u->uuid_string, a->uuid);
        if (host.report(op, host.sym<uint32_t(char **, rspi_user *)>(op)(host.h, u.get())))
            host.print(Json{{"domain", u->domain}, {"user_id", u->user_id}, {"done", op}});
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

void register_userlife_commands(CLI::App &user_cmd, Host &host) {
    add_life(&user_cmd, host, "disable", "rspi_disable_user",
             "Disable a user: its credentials are deleted, its file renamed to <registry id>.user");
    add_life(&user_cmd, host, "enable", "rspi_enable_user",
             "Enable a disabled user again (10 when it is not disabled, 40 when its names are taken)");
    add_life(&user_cmd, host, "delete", "rspi_delete_user",
             "Delete a user with its group memberships, credentials and certificate-DN lines");
}

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
