// cmd_creds.cpp - tolvadm commands for a user's resource credentials: create, get, modify, delete, list.
#include "family_cmds.h"

namespace tolvadm {

namespace {

const Family<rspi_rescreds> kCreds{
    .help = "A user's resource credentials: create, get, modify, delete, list",
    .noun = "credential",
    .keys = {{"domain", "domain", "Domain of the user", true},
             {"user_id", "user", "User id within the domain", true},
             {"name", "resource", "Resource (or resource group) the credential is for"}},
    .shown = {"name", "description", "attribute", "uuid", "state", "text_1", "password"},
    .helps = {"Store a user's credential for a resource (rspi_create_rescreds); the credential text is asked for "
              "twice without echo",
              "Show a credential (rspi_get_rescreds)", "Change the given fields of a credential (rspi_modify_rescreds)",
              "Delete a credential, its blob and its list line (rspi_delete_rescreds)",
              "List a user's credentials (rspi_get_rescredslist, rspi_next_rescreds)"},
    .secret = "credential text",
    .secret_json = "credential",
    .secret_on_create = true,
    .subject = [](const std::vector<std::string> &v) {
        return "credential of user " + v[0] + "/" + v[1] + (v[2].empty() ? "" : " for " + v[2]);
    },
};

Owned<rspi_user> user_keys(const char *domain, const char *user_id) {
    auto u = FamilyOps<rspi_user>::blank();
    set_str(u->domain, domain);
    set_str(u->user_id, user_id);
    return u;
}

}  // namespace

void register_creds_commands(Command &app, Host &host) {
    FamilyCommands<rspi_rescreds> f(app, host, kCreds);
    f.create();
    f.get();
    f.modify();
    f.keys_only("delete", "delete", "deleted", kCreds.helps[3]);
    f.list();
}

void demo_creds(Host &host) {
    host.say("");
    host.say("== Resource credentials");
    const FamilyOps<rspi_rescreds> ops(host, kCreds);
    auto u = user_keys("corp", "alice");
    auto get_user = host.sym<decltype(rspi_get_user)>("rspi_get_user");
    if (get_user(host.h, u.get()) == RSPI_RC_INVALID_USER) {
        host.say("Create the user corp/alice to hold the credentials:");
        auto fresh = user_keys("corp", "alice");
        set_str(fresh->registry_id, "alice@corp");
        if (!host.report("rspi_create_user",
                         host.sym<decltype(rspi_create_user)>("rspi_create_user")(host.h, fresh.get())))
            return;
    }
    auto create = host.sym<decltype(rspi_create_rescreds)>("rspi_create_rescreds");

    host.say("Store alice's sign-on data for the resource Web:1. The credential file is");
    host.say("corp_alice_web-1.QZrescreds (':' becomes '-'), and the line \"corp alice web:1\" goes into");
    host.say("her credential list corp_alice.myResCreds. The credential text is kept in plain text.");
    auto web = ops.keyed({"Web:1"});
    set_str(web->description, "intranet portal");
    web->password = make_password("portal-pw").release();
    if (!host.report("rspi_create_rescreds", create(host.h, u.get(), web.get()))) return;
    ops.show(ops.keyed({"web:1"}).get(), user_keys("corp", "alice").get(), true);

    host.say("");
    host.say("A second credential, for db, with an attribute above 2^31 and a 4-byte blob:");
    auto db = ops.keyed({"db"});
    db->attribute = 4000000000u;
    db->password = make_password("db-pw").release();
    db->blob = make_blob({'k', 'e', 'y', '1'}).release();
    if (!host.report("rspi_create_rescreds", create(host.h, u.get(), db.get()))) return;

    host.say("");
    host.say("Creating web:1 again, a credential for a user without a user file, and a credential text");
    host.say("holding a line break are all refused:");
    host.expect("rspi_create_rescreds", create(host.h, u.get(), ops.keyed({"web:1"}).get()), RSPI_RC_RESCREDS_EXISTS);
    host.expect("rspi_create_rescreds", create(host.h, user_keys("corp", "nobody").get(), ops.keyed({"web:1"}).get()),
                RSPI_RC_INVALID_USER);
    auto broken = ops.keyed({"mail"});
    broken->password = make_password("two\nlines").release();
    host.expect("rspi_create_rescreds", create(host.h, u.get(), broken.get()), RSPI_RC_INVALID_RESCREDS);

    host.say("");
    host.say("Modify only web:1's description; the text, UUID and state stay as stored:");
    auto change = ops.keyed({"web:1"});
    set_str(change->description, "intranet portal (SSO)");
    if (!host.report("rspi_modify_rescreds",
                     host.sym<decltype(rspi_modify_rescreds)>("rspi_modify_rescreds")(host.h, u.get(),
                                                                                       change.get())))
        return;
    ops.show(ops.keyed({"web:1"}).get(), user_keys("corp", "alice").get());

    host.say("");
    host.say("alice's credentials, walked with rspi_next_rescreds alone until it returns 5:");
    ops.list(false, user_keys("corp", "alice").get());
}

}  // namespace tolvadm
