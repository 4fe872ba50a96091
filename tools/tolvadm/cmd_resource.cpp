// cmd_resource.cpp - tolvadm commands for resources: create, get, modify, delete, list.
#include "tolvadm.h"

namespace tolvadm {

// The resource-group part of the demo (cmd_resgroup.cpp); it uses the resources made here.
void demo_resgroups(Host &host);

namespace {

// Command-line values; the defaults are the record's "not given" values.
struct ResourceArgs {
    std::string name, description, blob_file;
    Option *description_opt = nullptr, *blob_opt = nullptr;
    uint32_t attribute = 0;
    uint32_t state = 2;
    bool fetch = false;
};

void add_fields(Command *cmd, ResourceArgs &a) {
    a.description_opt = cmd->add_option("--description", a.description, "Free text");
    a.blob_opt = cmd->add_option("--blob-file", a.blob_file, "File whose bytes become the blob");
    cmd->add_option("--attribute", a.attribute, "Unsigned number (0: not given)");
    cmd->add_option("--state", a.state, "Unsigned number (2: not given; stored as 1 on create)");
}

Owned<rspi_resource> named(const std::string &name) {
    auto r = own(rspi_alloc_resource());
    set_str(r->name, name);
    r->state = 2;
    return r;
}

Owned<rspi_resource> fields_record(const ResourceArgs &a) {
    auto r = named(a.name);
    if (*a.description_opt) set_str(r->description, a.description);
    if (*a.blob_opt) r->blob = make_blob(read_file_bytes(a.blob_file)).release();
    r->attribute = a.attribute;
    r->state = a.state;
    return r;
}

Json resource_json(const rspi_resource *r) {
    Json j;
    j["name"] = json_str(r->name);
    j["description"] = json_str(r->description);
    j["attribute"] = r->attribute;
    j["uuid"] = json_str(r->uuid_string);
    j["state"] = r->state;
    j["blob"] = json_blob(r->blob);
    return j;
}

bool get_resource(Host &host, rspi_resource *r) {
    return host.report("rspi_get_resource", host.sym<decltype(rspi_get_resource)>("rspi_get_resource")(host.h, r));
}

// Walks the resource list with next alone; with fetch, every resource is read too.
void list_resources(Host &host, bool fetch) {
    host.subject = "resource list";
    host.open();
    auto list = own(rspi_alloc_resourcelist());
    if (!host.report("rspi_get_resourcelist",
                     host.sym<decltype(rspi_get_resourcelist)>("rspi_get_resourcelist")(host.h, list.get())))
        return;
    auto next = host.sym<decltype(rspi_next_resource)>("rspi_next_resource");
    Json all = Json::array();
    for (;;) {
        auto r = own(rspi_alloc_resource());
        const uint32_t rc = next(host.h, list.get(), r.get(), fetch ? 1 : 0);
        if (rc == RSPI_RC_NO_MORE_ENTRIES) break;
        if (!host.report("rspi_next_resource", rc) && (rc == RSPI_RC_NO_MEMORY || !r->name)) break;
        Json j = fetch ? resource_json(r.get()) : Json(r->name);
        if (!host.json) fetch ? host.print(j) : host.value(r->name);
        if (!host.json && fetch) host.say("");
        all.push_back(std::move(j));
    }
    if (host.json) host.print(all);
}

}  // namespace

void register_resource_commands(Command &app, Host &host) {
    auto *cmd = app.add_subcommand("resource", "Resources: create, get, modify, delete, list");
    cmd->require_subcommand(1);

    auto create = std::make_shared<ResourceArgs>();
    auto *c = cmd->add_subcommand("create", "Create a resource (rspi_create_resource); prints it with its new UUID");
    c->add_option("name", create->name, "Resource name")->required();
    add_fields(c, *create);
    c->callback([&host, create] {
        host.subject = "resource " + create->name;
        host.open();
        auto r = fields_record(*create);
        auto op = host.sym<decltype(rspi_create_resource)>("rspi_create_resource");
        if (host.report("rspi_create_resource", op(host.h, r.get())) && get_resource(host, r.get()))
            host.print(resource_json(r.get()));
    });

    auto get = std::make_shared<ResourceArgs>();
    auto *g = cmd->add_subcommand("get", "Show a resource (rspi_get_resource)");
    g->add_option("name", get->name, "Resource name")->required();
    g->callback([&host, get] {
        host.subject = "resource " + get->name;
        host.open();
        auto r = named(get->name);
        if (get_resource(host, r.get())) host.print(resource_json(r.get()));
    });

    auto modify = std::make_shared<ResourceArgs>();
    auto *m = cmd->add_subcommand("modify", "Change the given fields of a resource (rspi_modify_resource)");
    m->add_option("name", modify->name, "Resource name")->required();
    add_fields(m, *modify);
    m->callback([&host, modify] {
        host.subject = "resource " + modify->name;
        host.open();
        auto r = fields_record(*modify);
        auto op = host.sym<decltype(rspi_modify_resource)>("rspi_modify_resource");
        if (!host.report("rspi_modify_resource", op(host.h, r.get()))) return;
        auto shown = named(modify->name);
        if (get_resource(host, shown.get())) host.print(resource_json(shown.get()));
    });

    auto del = std::make_shared<ResourceArgs>();
    auto *d = cmd->add_subcommand("delete", "Delete a resource, its blob and its list entry (rspi_delete_resource)");
    d->add_option("name", del->name, "Resource name")->required();
    d->callback([&host, del] {
        host.subject = "resource " + del->name;
        host.open();
        auto r = named(del->name);
        if (host.report("rspi_delete_resource",
                        host.sym<decltype(rspi_delete_resource)>("rspi_delete_resource")(host.h, r.get())))
            host.done(Json{{"name", r->name}}, "deleted");
    });

    auto list = std::make_shared<ResourceArgs>();
    auto *l = cmd->add_subcommand("list", "List the resources (rspi_get_resourcelist, rspi_next_resource)");
    l->add_flag("--fetch", list->fetch, "Read every resource in full");
    l->callback([&host, list] { list_resources(host, list->fetch); });
}

void demo_resources(Host &host) {
    host.say("");
    host.say("== Resources");
    auto create = host.sym<decltype(rspi_create_resource)>("rspi_create_resource");

    auto printer = named("Printer:A");
    set_str(printer->description, "first-floor printer");
    host.say("Create resource Printer:A: its name comes back lower-cased and its file is printer-a.QZresource,");
    host.say("because ':', '/' and '\\' become '-' in file names.");
    if (!host.report("rspi_create_resource", create(host.h, printer.get()))) return;
    host.print(resource_json(printer.get()));
    host.say("So printer-a names the same file:");
    host.expect("rspi_create_resource", create(host.h, named("printer-a").get()), RSPI_RC_RESOURCE_EXISTS);
    auto clash = named("printer-a");
    host.expect("rspi_get_resource", host.sym<decltype(rspi_get_resource)>("rspi_get_resource")(host.h, clash.get()),
                RSPI_RC_MALFORMED_ENTRY);

    auto disk = named("Disk");
    disk->attribute = 4000000000u;
    disk->blob = make_blob({'s', 'e', 'r', 'i', 'a', 'l'}).release();
    host.say("Create resource Disk with attribute 4000000000 and a 6-byte blob:");
    if (!host.report("rspi_create_resource", create(host.h, disk.get()))) return;
    auto shown = named("disk");
    if (get_resource(host, shown.get())) host.print(resource_json(shown.get()));
    host.say("The resource list:");
    list_resources(host, false);

    demo_resgroups(host);
}

}  // namespace tolvadm
