// cmd_creds.cpp - tolvadm commands for a user's resource credentials: create, get, modify, delete, list.
#include "tolvadm.h"

namespace tolvadm {

namespace {

// Command-line values; the defaults are the record's "not given" values.
struct CredsArgs {
    std::string domain, user_id, resource;
    std::string description, text_1, blob_file;
    Option *description_opt = nullptr, *text_1_opt = nullptr, *blob_opt = nullptr;
    uint32_t attribute = 0;
    uint32_t state = 2;
    bool ask_password = false, password_stdin = false, show_text = false, fetch = false;
};

void add_user_keys(Command *cmd, CredsArgs &a) {
    cmd->add_option("domain", a.domain, "Domain of the user")->required();
    cmd->add_option("user", a.user_id, "User id within the domain")->required();
}

void add_keys(Command *cmd, CredsArgs &a) {
    add_user_keys(cmd, a);
    cmd->add_option("resource", a.resource, "Resource (or resource group) the credential is for")->required();
}

void add_fields(Command *cmd, CredsArgs &a, bool create) {
    a.description_opt = cmd->add_option("--description", a.description, "Free text");
    a.text_1_opt = cmd->add_option("--text-1", a.text_1, "Free text");
    a.blob_opt = cmd->add_option("--blob-file", a.blob_file, "File whose bytes become the blob");
    cmd->add_option("--attribute", a.attribute, "Unsigned number (0: not given)");
    cmd->add_option("--state", a.state, "Unsigned number (2: not given; stored as 1 on create)");
    if (!create)
        cmd->add_flag("--password", a.ask_password,
                      "Set a new credential text, asked for twice without echo (1 to 99 bytes)");
    cmd->add_flag("--password-stdin", a.password_stdin,
                  "Read the credential text from standard input (one line, newline stripped) instead of the "
                  "terminal");
}

Owned<rspi_user> user_keys(const CredsArgs &a) {
    auto u = own(rspi_alloc_user());
    set_str(u->domain, a.domain);
    set_str(u->user_id, a.user_id);
    u->flag_1 = 2;
    u->account_valid = 2;
    u->number_2 = -1;
    return u;
}

Owned<rspi_rescreds> named(const std::string &resource) {
    auto c = own(rspi_alloc_rescreds());
    set_str(c->name, resource);
    c->state = 2;
    return c;
}

std::string subject_of(const CredsArgs &a) {
    return "credential of user " + a.domain + "/" + a.user_id + (a.resource.empty() ? "" : " for " + a.resource);
}

// The credential text, read like a new password. Refused when the plug-in would drop it.
Owned<rspi_authndata> credential_text(const CredsArgs &a) {
    return make_password(read_new_secret("credential text", subject_of(a), a.password_stdin));
}

// On create the credential text is always asked for; on modify only with --password or --password-stdin.
Owned<rspi_rescreds> fields_record(const CredsArgs &a, bool create) {
    auto c = named(a.resource);
    if (*a.description_opt) set_str(c->description, a.description);
    if (*a.text_1_opt) set_str(c->text_1, a.text_1);
    if (*a.blob_opt) c->blob = make_blob(read_file_bytes(a.blob_file)).release();
    c->attribute = a.attribute;
    c->state = a.state;
    if (create || a.ask_password || a.password_stdin) c->password = credential_text(a).release();
    return c;
}

// The credential text is shown only when asked for; its length always.
Json creds_json(const rspi_rescreds *c, bool show_text) {
    Json j;
    j["name"] = json_str(c->name);
    j["description"] = json_str(c->description);
    j["attribute"] = c->attribute;
    j["uuid"] = json_str(c->uuid_string);
    j["state"] = c->state;
    j["text_1"] = json_str(c->text_1);
    j["credential_length"] = c->password ? Json(c->password->length) : Json(nullptr);
    if (show_text)
        j["credential"] = c->password && c->password->data
                              ? Json(std::string(c->password->data, c->password->length))
                              : Json(nullptr);
    j["blob"] = json_blob(c->blob);
    return j;
}

bool get_creds(Host &host, rspi_user *u, rspi_rescreds *c) {
    return host.report("rspi_get_rescreds",
                       host.sym<decltype(rspi_get_rescreds)>("rspi_get_rescreds")(host.h, u, c));
}

// Shows a credential as stored.
void show(Host &host, const CredsArgs &a, bool show_text) {
    auto u = user_keys(a);
    auto c = named(a.resource);
    if (get_creds(host, u.get(), c.get())) host.print(creds_json(c.get(), show_text));
}

// Walks a user's credential list with next alone; with fetch, every credential is read too.
void list_creds(Host &host, const CredsArgs &a) {
    host.subject = subject_of(a);
    host.open();
    auto u = user_keys(a);
    auto list = own(rspi_alloc_rescredslist());
    if (!host.report("rspi_get_rescredslist",
                     host.sym<decltype(rspi_get_rescredslist)>("rspi_get_rescredslist")(host.h, u.get(), list.get())))
        return;
    auto next = host.sym<decltype(rspi_next_rescreds)>("rspi_next_rescreds");
    Json all = Json::array();
    for (;;) {
        auto c = own(rspi_alloc_rescreds());
        const uint32_t rc = next(host.h, list.get(), c.get(), a.fetch ? 1 : 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        // A damaged line still moved the cursor: report it and go on.
        if (!host.report("rspi_next_rescreds", rc) && (rc == RSPI_RC_NO_MEMORY || !c->name)) break;
        Json j = a.fetch ? creds_json(c.get(), false) : Json(c->name);
        if (!host.json) {
            if (a.fetch) {
                host.print(j);
                host.say("");
            } else {
                host.value(c->name);
            }
        }
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
}

}  // namespace

void register_creds_commands(Command &app, Host &host) {
    auto *cmd = app.add_subcommand("creds", "A user's resource credentials: create, get, modify, delete, list");
    cmd->require_subcommand(1);

    auto create = std::make_shared<CredsArgs>();
    auto *c = cmd->add_subcommand("create", "Store a user's credential for a resource (rspi_create_rescreds); "
                                            "the credential text is asked for twice without echo");
    add_keys(c, *create);
    add_fields(c, *create, true);
    c->callback([&host, create] {
        host.subject = subject_of(*create);
        host.open();
        auto u = user_keys(*create);
        auto r = fields_record(*create, true);
        auto op = host.sym<decltype(rspi_create_rescreds)>("rspi_create_rescreds");
        if (host.report("rspi_create_rescreds", op(host.h, u.get(), r.get()))) show(host, *create, false);
    });

    auto get = std::make_shared<CredsArgs>();
    auto *g = cmd->add_subcommand("get", "Show a credential (rspi_get_rescreds)");
    add_keys(g, *get);
    g->add_flag("--show-text", get->show_text, "Also print the credential text");
    g->callback([&host, get] {
        host.subject = subject_of(*get);
        host.open();
        show(host, *get, get->show_text);
    });

    auto modify = std::make_shared<CredsArgs>();
    auto *m = cmd->add_subcommand("modify", "Change the given fields of a credential (rspi_modify_rescreds)");
    add_keys(m, *modify);
    add_fields(m, *modify, false);
    m->callback([&host, modify] {
        host.subject = subject_of(*modify);
        host.open();
        auto u = user_keys(*modify);
        auto r = fields_record(*modify, false);
        auto op = host.sym<decltype(rspi_modify_rescreds)>("rspi_modify_rescreds");
        if (host.report("rspi_modify_rescreds", op(host.h, u.get(), r.get()))) show(host, *modify, false);
    });

    auto del = std::make_shared<CredsArgs>();
    auto *d = cmd->add_subcommand("delete", "Delete a credential, its blob and its list line (rspi_delete_rescreds)");
    add_keys(d, *del);
    d->callback([&host, del] {
        host.subject = subject_of(*del);
        host.open();
        auto u = user_keys(*del);
        auto r = named(del->resource);
        if (host.report("rspi_delete_rescreds",
                        host.sym<decltype(rspi_delete_rescreds)>("rspi_delete_rescreds")(host.h, u.get(), r.get())))
            host.done(Json{{"domain", u->domain}, {"user_id", u->user_id}, {"name", r->name}}, "deleted");
    });

    auto list = std::make_shared<CredsArgs>();
    auto *l = cmd->add_subcommand("list", "List a user's credentials (rspi_get_rescredslist, rspi_next_rescreds)");
    add_user_keys(l, *list);
    l->add_flag("--fetch", list->fetch, "Read every credential in full (without its text)");
    l->callback([&host, list] { list_creds(host, *list); });
}

void demo_creds(Host &host) {
    host.say("");
    host.say("== Resource credentials");
    CredsArgs alice;
    alice.domain = "corp";
    alice.user_id = "alice";
    auto u = user_keys(alice);
    auto get_user = host.sym<decltype(rspi_get_user)>("rspi_get_user");
    if (get_user(host.h, u.get()) == RSPI_RC_INVALID_USER) {
        host.say("Create the user corp/alice to hold the credentials:");
        auto fresh = user_keys(alice);
        set_str(fresh->registry_id, "alice@corp");
        if (!host.report("rspi_create_user",
                         host.sym<decltype(rspi_create_user)>("rspi_create_user")(host.h, fresh.get())))
            return;
    }
    auto create = host.sym<decltype(rspi_create_rescreds)>("rspi_create_rescreds");

    host.say("Store alice's sign-on data for the resource Web:1. The credential file is");
    host.say("corp_alice_web-1.QZrescreds (':' becomes '-'), and the line \"corp alice web:1\" goes into");
    host.say("her credential list corp_alice.myResCreds. The credential text is kept in plain text.");
    auto web = named("Web:1");
    set_str(web->description, "intranet portal");
    web->password = make_password("portal-pw").release();
    if (!host.report("rspi_create_rescreds", create(host.h, u.get(), web.get()))) return;
    alice.resource = "web:1";
    show(host, alice, true);

    host.say("");
    host.say("A second credential, for db, with an attribute above 2^31 and a 4-byte blob:");
    auto db = named("db");
    db->attribute = 4000000000u;
    db->password = make_password("db-pw").release();
    db->blob = make_blob({'k', 'e', 'y', '1'}).release();
    if (!host.report("rspi_create_rescreds", create(host.h, u.get(), db.get()))) return;

    host.say("");
    host.say("Creating web:1 again, a credential for a user without a user file, and a credential text");
    host.say("holding a line break are all refused:");
    host.expect("rspi_create_rescreds", create(host.h, u.get(), named("web:1").get()), RSPI_RC_RESCREDS_EXISTS);
    CredsArgs nobody;
    nobody.domain = "corp";
    nobody.user_id = "nobody";
    host.expect("rspi_create_rescreds", create(host.h, user_keys(nobody).get(), named("web:1").get()),
                RSPI_RC_INVALID_USER);
    auto broken = named("mail");
    broken->password = make_password("two\nlines").release();
    host.expect("rspi_create_rescreds", create(host.h, u.get(), broken.get()), RSPI_RC_INVALID_RESCREDS);

    host.say("");
    host.say("Modify only web:1's description; the text, UUID and state stay as stored:");
    auto change = named("web:1");
    set_str(change->description, "intranet portal (SSO)");
    if (!host.report("rspi_modify_rescreds",
                     host.sym<decltype(rspi_modify_rescreds)>("rspi_modify_rescreds")(host.h, u.get(),
                                                                                       change.get())))
        return;
    show(host, alice, false);

    host.say("");
    host.say("alice's credentials, walked with rspi_next_rescreds alone until it returns 5:");
    list_creds(host, alice);
}

}  // namespace tolvadm
