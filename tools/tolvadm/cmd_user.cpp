// cmd_user.cpp - tolvadm commands for users: create, get, modify, find, authenticate, change the password.
// Each subcommand is added by a function of its own (add_<name>); the shared
// pieces (keys, the record's fields, the JSON view, fetching) sit above them.
#include <array>
#include <cctype>
#include <fstream>

#include "tolvadm.h"

namespace tolvadm {

namespace {

// The free-text fields text_1 ... text_5.
constexpr std::array<char *rspi_user::*, 5> kTexts = {&rspi_user::text_1, &rspi_user::text_2, &rspi_user::text_3,
                                                      &rspi_user::text_4, &rspi_user::text_5};

// A text option that counts only when given.
struct TextOpt {
    std::string value;
    Option *opt = nullptr;
    bool given() const { return opt && *opt; }
};

// Command-line values; the defaults are the record's "not given" values.
struct UserArgs {
    std::string domain, user_id;
    TextOpt registry_id, description, cert_dn, uuid, login_types, blob_file;
    std::array<TextOpt, 5> texts;
    int32_t flag_1 = 2, account_valid = 2, number_2 = -1;
    uint32_t number_1 = 0, ulong_1 = 0, ulong_2 = 0, ulong_3 = 0;
    bool ask_password = false, password_stdin = false;
};

void add_keys(Command *cmd, UserArgs &a) {
    cmd->add_option("domain", a.domain, "Domain of the user")->required();
    cmd->add_option("user", a.user_id, "User id within the domain")->required();
}

void add_password_source(Command *cmd, UserArgs &a) {
    cmd->add_flag("--password-stdin", a.password_stdin,
                  "Read the password from standard input (one line, newline stripped) instead of the terminal");
}

// Every field of the record. On modify an option left out keeps the stored value.
void add_fields(Command *cmd, UserArgs &a, bool create) {
    a.registry_id.opt = cmd->add_option("--registry-id", a.registry_id.value,
                                        create ? "Registry id (default: USER@DOMAIN, lower-cased)" : "Registry id");
    a.description.opt = cmd->add_option("--description", a.description.value, "Free text");
    a.cert_dn.opt = cmd->add_option("--cert-dn", a.cert_dn.value, "Certificate distinguished name");
    a.uuid.opt = cmd->add_option("--uuid", a.uuid.value, create ? "UUID text (default: a new UUID)" : "UUID text");
    a.login_types.opt = cmd->add_option("--login-types", a.login_types.value, "Login types joined with ';'");
    for (std::size_t i = 0; i < kTexts.size(); ++i)
        a.texts[i].opt = cmd->add_option("--text-" + std::to_string(i + 1), a.texts[i].value, "Free text");
    a.blob_file.opt = cmd->add_option("--blob-file", a.blob_file.value, "File whose bytes become the blob");
    cmd->add_option("--flag-1", a.flag_1, "Flag 0 or 1 (2: not given)");
    cmd->add_option("--account-valid", a.account_valid,
                    create ? "0 or 1 (default: 1 with a password, else 0)" : "0 or 1 (2: not given)")
        ->check_range(0, 2);
    cmd->add_option("--number-1", a.number_1, "Unsigned number (0: not given on modify)");
    cmd->add_option("--number-2", a.number_2, "Number (-1: not given)");
    cmd->add_option("--ulong-1", a.ulong_1, "Unsigned number (0: not given on modify)");
    cmd->add_option("--ulong-2", a.ulong_2, "Unsigned number (0: not given on modify)");
    cmd->add_option("--ulong-3", a.ulong_3, "Unsigned number (0: not given on modify)");
    cmd->add_flag("--password", a.ask_password, "Set a password, asked for twice without echo (1 to 99 bytes)");
    add_password_source(cmd, a);
}

Owned<rspi_user> keys_record(const std::string &domain, const std::string &user_id) {
    auto u = own(rspi_alloc_user());
    set_str(u->domain, domain);
    set_str(u->user_id, user_id);
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}

// "a;b" as a login-type list; an empty text gives none.
Owned<rspi_logintypes> login_types(const std::string &text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(';', start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    auto types = own(rspi_alloc_logintypes(static_cast<int32_t>(parts.size())));
    char **slots = types->types;  // a trailing array of count slots
    for (std::size_t i = 0; i < parts.size(); ++i) set_str(slots[i], parts[i]);
    return types;
}

std::string password_prompt(const UserArgs &a, const char *what) {
    return std::string(what) + " for " + escaped(a.domain + "/" + a.user_id) + ": ";
}

std::string subject_of(const std::string &domain, const std::string &user_id) {
    return "user " + domain + "/" + user_id;
}

Owned<rspi_user> fields_record(const UserArgs &a) {
    auto u = keys_record(a.domain, a.user_id);
    for (auto [opt, field] : {std::pair{&a.registry_id, &u->registry_id}, std::pair{&a.description, &u->description},
                              std::pair{&a.cert_dn, &u->cert_dn}, std::pair{&a.uuid, &u->uuid_string}})
        if (opt->given()) set_str(*field, opt->value);
    for (std::size_t i = 0; i < kTexts.size(); ++i)
        if (a.texts[i].given()) set_str(u.get()->*kTexts[i], a.texts[i].value);
    if (a.login_types.given() && !a.login_types.value.empty())
        u->login_types = login_types(a.login_types.value).release();
    if (a.blob_file.given()) u->blob = make_blob(read_file_bytes(a.blob_file.value)).release();
    u->flag_1 = a.flag_1;
    u->account_valid = a.account_valid;
    u->number_1 = a.number_1;
    u->number_2 = a.number_2;
    u->ulong_1 = a.ulong_1;
    u->ulong_2 = a.ulong_2;
    u->ulong_3 = a.ulong_3;
    if (a.ask_password || a.password_stdin)
        u->password =
            make_password(read_new_secret("password", subject_of(a.domain, a.user_id), a.password_stdin)).release();
    return u;
}

}  // namespace

Json user_json(const rspi_user *u) {
    Json j;
    j["domain"] = json_str(u->domain);
    j["user_id"] = json_str(u->user_id);
    j["description"] = json_str(u->description);
    j["registry_id"] = json_str(u->registry_id);
    j["uuid"] = json_str(u->uuid_string);
    j["cert_dn"] = json_str(u->cert_dn);
    j["account_valid"] = u->account_valid;
    j["flag_1"] = u->flag_1;
    j["login_types"] = json_logintypes(u->login_types);
    j["number_1"] = u->number_1;
    j["number_2"] = u->number_2;
    j["ulong_1"] = u->ulong_1;
    j["ulong_2"] = u->ulong_2;
    j["ulong_3"] = u->ulong_3;
    for (std::size_t i = 0; i < kTexts.size(); ++i) j["text_" + std::to_string(i + 1)] = json_str(u->*kTexts[i]);
    j["groups_list"] = u->groups ? json_str(u->groups->file) : Json(nullptr);
    j["blob"] = json_blob(u->blob);
    return j;
}

namespace {

// Fetches a user; false (reported) when the plug-in refuses.
bool get_user(Host &host, rspi_user *u) {
    return host.report("rspi_get_user", host.sym<decltype(rspi_get_user)>("rspi_get_user")(host.h, u));
}

void show_user(Host &host, const std::string &domain, const std::string &user_id) {
    auto shown = keys_record(domain, user_id);
    if (get_user(host, shown.get())) host.print(user_json(shown.get()));
}

// ---------------------------------------------------------------------------
// The subcommands.

void add_create(Command *cmd, Host &host) {
    auto a = std::make_shared<UserArgs>();
    auto *c = cmd->add_subcommand("create", "Create a user (rspi_create_user); prints it with its UUID");
    add_keys(c, *a);
    add_fields(c, *a, true);
    c->callback([&host, a] {
        host.subject = subject_of(a->domain, a->user_id);
        host.open();
        auto u = fields_record(*a);
        if (!a->registry_id.given()) {
            std::string rgy = a->user_id + "@" + a->domain;
            for (char &ch : rgy) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            set_str(u->registry_id, rgy);
        }
        auto op = host.sym<decltype(rspi_create_user)>("rspi_create_user");
        if (host.report("rspi_create_user", op(host.h, u.get()))) show_user(host, u->domain, u->user_id);
    });
}

void add_get(Command *cmd, Host &host) {
    auto a = std::make_shared<UserArgs>();
    auto *g = cmd->add_subcommand("get", "Show a user (rspi_get_user); the password is never shown");
    add_keys(g, *a);
    g->callback([&host, a] {
        host.subject = subject_of(a->domain, a->user_id);
        host.open();
        show_user(host, a->domain, a->user_id);
    });
}

void add_modify(Command *cmd, Host &host) {
    auto a = std::make_shared<UserArgs>();
    auto *m = cmd->add_subcommand("modify", "Change the given fields of a user (rspi_modify_user)");
    add_keys(m, *a);
    add_fields(m, *a, false);
    m->callback([&host, a] {
        host.subject = subject_of(a->domain, a->user_id);
        host.open();
        auto u = fields_record(*a);
        auto op = host.sym<decltype(rspi_modify_user)>("rspi_modify_user");
        if (host.report("rspi_modify_user", op(host.h, u.get()))) show_user(host, u->domain, u->user_id);
    });
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
        if (host.report(op_name, op(host.h, u.get()))) host.print(user_json(u.get()));
    });
    f->require_option(1);
}

void add_auth(Command *cmd, Host &host) {
    auto a = std::make_shared<UserArgs>();
    auto *c = cmd->add_subcommand("auth", "Check a user's password (rspi_authenticate_user)");
    add_keys(c, *a);
    add_password_source(c, *a);
    c->callback([&host, a] {
        host.subject = subject_of(a->domain, a->user_id);
        host.open();
        auto u = keys_record(a->domain, a->user_id);
        auto pw = make_password(read_password(password_prompt(*a, "Password"), a->password_stdin));
        auto op = host.sym<decltype(rspi_authenticate_user)>("rspi_authenticate_user");
        if (host.report("rspi_authenticate_user", op(host.h, u.get(), pw.get())))
            host.done(Json{{"domain", u->domain}, {"user_id", u->user_id}}, "authenticated");
    });
}

void add_passwd(Command *cmd, Host &host) {
    auto a = std::make_shared<UserArgs>();
    auto *c = cmd->add_subcommand("passwd", "Change a user's password, given the old one (rspi_change_authndata); "
                                            "the new one is asked twice; with --password-stdin the old and the "
                                            "new password are two lines");
    add_keys(c, *a);
    add_password_source(c, *a);
    c->callback([&host, a] {
        host.subject = subject_of(a->domain, a->user_id);
        host.open();
        auto u = keys_record(a->domain, a->user_id);
        auto old_pw = make_password(read_password(password_prompt(*a, "Old password"), a->password_stdin));
        auto new_pw = make_password(read_new_secret("password", host.subject, a->password_stdin));
        auto op = host.sym<decltype(rspi_change_authndata)>("rspi_change_authndata");
        if (host.report("rspi_change_authndata", op(host.h, u.get(), old_pw.get(), new_pw.get())))
            host.done(Json{{"domain", u->domain}, {"user_id", u->user_id}}, "password changed");
    });
}

}  // namespace

void register_user_commands(Command &app, Host &host) {
    auto *cmd = app.add_subcommand(
        "user", "Users: create, get, modify, find, auth, passwd, list, groups, disable, enable, delete");
    cmd->require_subcommand(1);
    add_create(cmd, host);
    add_get(cmd, host);
    add_modify(cmd, host);
    add_find(cmd, host);
    add_auth(cmd, host);
    add_passwd(cmd, host);
    register_userlist_commands(*cmd, host);
    register_userlife_commands(*cmd, host);
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
        std::ifstream in(std::string(*host.h) + name);
        for (std::string line; std::getline(in, line);) host.value("    " + line);
    }
    host.say("alice as rspi_get_user returns her (never with the password):");
    show_user(host, "corp", "alice");

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
