// cmd_user.cpp - tolvadm commands for users: create, get, modify, find, authenticate, change the password,
// disable and delete (with the listings of cmd_userlist.cpp and enable of cmd_userlife.cpp).
#include <sstream>

#include "family_cmds.h"

namespace tolvadm {

Json user_json(Host &host, const rspi_user *u);

namespace {

const Family<rspi_user> kUsers{
    .help = "Users: create, get, modify, find, auth, passwd, list, groups, disable, enable, delete",
    .noun = "user",
    .keys = {{"domain", "domain", "Domain of the user"}, {"user_id", "user", "User id within the domain"}},
    .shown = {"domain",        "user_id", "description", "registry_id", "uuid",     "cert_dn", "account_valid",
              "flag_1",        "login_types", "number_1", "number_2",  "ulong_1", "ulong_2",  "ulong_3",
              "text_1",        "text_2",  "text_3",      "text_4",      "text_5"},
    .helps = {"Create a user (rspi_create_user); prints it with its UUID",
              "Show a user (rspi_get_user); the password is never shown",
              "Change the given fields of a user (rspi_modify_user)",
              "Delete a user with its group memberships, credentials and certificate-DN lines (rspi_delete_user)"},
    .notes = {{"registry_id", "Registry id (default: USER@DOMAIN, lower-cased)", "Registry id"},
              {"cert_dn", "Certificate distinguished name", "Certificate distinguished name"},
              {"account_valid", "0 or 1 (default: 1 with a password, else 0)", "0 or 1 (2: not given)", 0, 2}},
    .secret = "password",
    .more_json = [](Json &j, const rspi_user *u) { j["groups_list"] = u->groups ? json_str(u->groups->file) : Json(nullptr); },
};

Owned<rspi_user> keys_record(const std::string &domain, const std::string &user_id) {
    auto u = FamilyOps<rspi_user>::blank();
    set_str(u->domain, domain);
    set_str(u->user_id, user_id);
    return u;
}

std::string password_prompt(const Given<rspi_user> &g, const char *what) {
    return std::string(what) + " for " + escaped(g.keys[0] + "/" + g.keys[1]) + ": ";
}

void add_find(Command *cmd, Host &host) {
    struct FindArgs {
        std::string uuid, cert_dn, registry_id;
    };
    auto a = std::make_shared<FindArgs>();
    auto *f = cmd->add_subcommand(
        "find", "Find a user by UUID, certificate DN or registry id "
                "(rspi_get_user_by_uuid, rspi_get_user_by_certdn, rspi_get_user_by_rgyid)");
    auto *by_uuid = f->add_option("--uuid", a->uuid, "UUID text, as stored");
    auto *by_dn = f->add_option("--cert-dn", a->cert_dn, "Certificate DN, exactly as stored");
    auto *by_rgy = f->add_option("--registry-id", a->registry_id, "Registry id, in any case");
    by_uuid->excludes(by_dn)->excludes(by_rgy);
    by_dn->excludes(by_rgy);
    f->callback([&host, a, by_uuid, by_dn] {
        host.open();
        auto u = own(rspi_alloc_user());
        const char *op_name;
        if (*by_uuid) {
            set_str(u->uuid_string, a->uuid);
            op_name = "rspi_get_user_by_uuid";
            host.subject = "user with UUID " + a->uuid;
        } else if (*by_dn) {
            set_str(u->cert_dn, a->cert_dn);
            op_name = "rspi_get_user_by_certdn";
            host.subject = "user with certificate DN " + a->cert_dn;
        } else {
            set_str(u->registry_id, a->registry_id);
            op_name = "rspi_get_user_by_rgyid";
            host.subject = "user with registry id " + a->registry_id;
        }
        auto op = host.sym<uint32_t(char **, rspi_user *)>(op_name);
        if (host.report(op_name, op(host.h, u.get()))) host.print(user_json(host, u.get()));
    });
    f->require_option(1);
}

void add_auth(const FamilyCommands<rspi_user> &f, Host &host) {
    auto *c = f.command()->add_subcommand("auth", "Check a user's password (rspi_authenticate_user)");
    auto g = f.add_keys(c);
    add_secret_options(c, "password", nullptr, g->from_stdin);
    c->callback([&host, f, g] {
        host.subject = f.subject(*g);
        host.open();
        auto u = f.keyed(*g);
        auto pw = make_password(read_password(password_prompt(*g, "Password"), g->from_stdin));
        auto op = host.sym<decltype(rspi_authenticate_user)>("rspi_authenticate_user");
        if (host.report("rspi_authenticate_user", op(host.h, u.get(), pw.get())))
            host.done(f.keys_json(u.get(), nullptr), "authenticated");
    });
}

void add_passwd(const FamilyCommands<rspi_user> &f, Host &host) {
    auto *c = f.command()->add_subcommand(
        "passwd", "Change a user's password, given the old one (rspi_change_authndata); the new one is asked twice; "
                  "with --password-stdin the old and the new password are two lines");
    auto g = f.add_keys(c);
    add_secret_options(c, "password", nullptr, g->from_stdin);
    c->callback([&host, f, g] {
        host.subject = f.subject(*g);
        host.open();
        auto u = f.keyed(*g);
        auto old_pw = make_password(read_password(password_prompt(*g, "Old password"), g->from_stdin));
        auto new_pw = make_password(read_new_secret("password", host.subject, g->from_stdin));
        auto op = host.sym<decltype(rspi_change_authndata)>("rspi_change_authndata");
        if (host.report("rspi_change_authndata", op(host.h, u.get(), old_pw.get(), new_pw.get())))
            host.done(f.keys_json(u.get(), nullptr), "password changed");
    });
}

}  // namespace

Json user_json(Host &host, const rspi_user *u) { return FamilyOps<rspi_user>(host, kUsers).json(u); }

void register_user_commands(Command &app, Host &host) {
    FamilyCommands<rspi_user> f(app, host, kUsers);
    f.create();
    f.get();
    f.modify();
    add_find(f.command(), host);
    add_auth(f, host);
    add_passwd(f, host);
    register_userlist_commands(*f.command(), host);
    f.keys_only("disable", "disable", "disabled",
                "Disable a user: its credentials are deleted, its file renamed to <registry id>.user "
                "(rspi_disable_user)");
    register_userlife_commands(*f.command(), host);
    f.keys_only("delete", "delete", "deleted", kUsers.helps[3]);
}

// ---------------------------------------------------------------------------
// The demo.

namespace {

// Creates DOMAIN/ID with a password; prints it. False when the plug-in refuses.
bool demo_create(Host &host, const char *domain, const char *id, const char *password, const char *rgy,
                 const char *cert_dn, std::string &uuid) {
    auto u = keys_record(domain, id);
    set_str(u->registry_id, rgy);
    if (cert_dn) set_str(u->cert_dn, cert_dn);
    u->password = make_password(password).release();
    const uint32_t rc = host.sym<decltype(rspi_create_user)>("rspi_create_user")(host.h, u.get());
    host.say(std::string("  rspi_create_user ") + domain + " " + id + ": rc = " + rc_text(rc));
    if (!host.report("rspi_create_user", rc)) return false;
    uuid = u->uuid_string ? u->uuid_string : "";
    return true;
}

uint32_t demo_auth(Host &host, const char *domain, const char *id, const char *password) {
    auto u = keys_record(domain, id);
    auto pw = make_password(password);
    const uint32_t rc =
        host.sym<decltype(rspi_authenticate_user)>("rspi_authenticate_user")(host.h, u.get(), pw.get());
    host.say(std::string("  rspi_authenticate_user ") + domain + " " + id + " with \"" + password +
             "\": rc = " + rc_text(rc));
    return rc;
}

// Runs one lookup and tells whom it found.
void demo_find(Host &host, const char *op_name, const char *key, char *rspi_user::*field, const std::string &value) {
    auto u = own(rspi_alloc_user());
    set_str(u.get()->*field, value);
    const uint32_t rc = host.sym<uint32_t(char **, rspi_user *)>(op_name)(host.h, u.get());
    std::string found = rc == 0 && u->domain && u->user_id ? std::string(u->domain) + " " + u->user_id : "nobody";
    host.say(std::string("  ") + op_name + " (" + key + " \"" + value + "\"): rc = " + rc_text(rc) + ", found " +
             found);
    host.report(op_name, rc);
}

}  // namespace

void demo_users(Host &host) {
    host.say("");
    host.say("== Users");
    host.say("Create two users with passwords: corp/alice (with a certificate DN) and corp/bob.");
    host.say("Each gets a user file \"corp_<id>.QZuser\", a line in \"userlist.file\" and, for alice,");
    host.say("a line in \"certdnlist.file\". A missing UUID is made by the plug-in.");
    std::string alice_uuid, bob_uuid;
    if (!demo_create(host, "Corp", "Alice", "wonderland", "ALICE-001", "CN=Alice,O=Corp", alice_uuid)) return;
    if (!demo_create(host, "corp", "bob", "builder", "BOB-002", nullptr, bob_uuid)) return;
    for (const char *name : {"userlist.file", "certdnlist.file"}) {
        host.say(std::string("  ") + name + ":");
        std::istringstream in(registry_file(host, name).value_or(""));
        for (std::string line; std::getline(in, line);) host.value("    " + line);
    }
    host.say("alice as rspi_get_user returns her (never with the password):");
    FamilyOps<rspi_user>(host, kUsers).show(keys_record("corp", "alice").get());

    host.say("");
    host.say("Authenticate alice with the right password, then with a wrong one:");
    host.report("rspi_authenticate_user", demo_auth(host, "corp", "alice", "wonderland"));
    host.expect("rspi_authenticate_user", demo_auth(host, "corp", "alice", "wonderlan"), RSPI_RC_AUTHN_FAILED);

    host.say("");
    host.say("Change bob's password (the old one must match), then try both:");
    {
        auto u = keys_record("corp", "bob");
        auto old_pw = make_password("builder");
        auto new_pw = make_password("can-we-fix-it");
        const uint32_t rc = host.sym<decltype(rspi_change_authndata)>("rspi_change_authndata")(
            host.h, u.get(), old_pw.get(), new_pw.get());
        host.say("  rspi_change_authndata corp bob: rc = " + rc_text(rc));
        host.report("rspi_change_authndata", rc);
    }
    host.expect("rspi_authenticate_user", demo_auth(host, "corp", "bob", "builder"), RSPI_RC_AUTHN_FAILED);
    host.report("rspi_authenticate_user", demo_auth(host, "corp", "bob", "can-we-fix-it"));

    host.say("");
    host.say("Look users up by each key (the registry id in any case):");
    demo_find(host, "rspi_get_user_by_uuid", "uuid", &rspi_user::uuid_string, bob_uuid);
    demo_find(host, "rspi_get_user_by_certdn", "cert_dn", &rspi_user::cert_dn, "CN=Alice,O=Corp");
    demo_find(host, "rspi_get_user_by_rgyid", "registry_id", &rspi_user::registry_id, "alice-001");
}

}  // namespace tolvadm
