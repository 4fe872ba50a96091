// cmd_resource.cpp - tolvadm commands for resources: create, get, modify, delete, list.
#include "family_cmds.h"

namespace tolvadm {

// The resource-group part of the demo (cmd_resgroup.cpp); it uses the resources made here.
void demo_resgroups(Host &host);

namespace {

const Family<rspi_resource> kResources{
    .help = "Resources: create, get, modify, delete, list",
    .noun = "resource",
    .keys = {{"name", "name", "Resource name"}},
    .shown = {"name", "description", "attribute", "uuid", "state"},
    .helps = {"Create a resource (rspi_create_resource); prints it with its new UUID",
              "Show a resource (rspi_get_resource)", "Change the given fields of a resource (rspi_modify_resource)",
              "Delete a resource, its blob and its list entry (rspi_delete_resource)",
              "List the resources (rspi_get_resourcelist, rspi_next_resource)"},
    .list_subject = "resource list",
};

}  // namespace

void register_resource_commands(Command &app, Host &host) {
    FamilyCommands<rspi_resource> f(app, host, kResources);
    f.create();
    f.get();
    f.modify();
    f.keys_only("delete", "delete", "deleted", kResources.helps[3]);
    f.list();
}

void demo_resources(Host &host) {
    host.say("");
    host.say("== Resources");
    const FamilyOps<rspi_resource> ops(host, kResources);
    auto create = host.sym<decltype(rspi_create_resource)>("rspi_create_resource");

    auto printer = ops.keyed({"Printer:A"});
    set_str(printer->description, "first-floor printer");
    host.say("Create resource Printer:A: its name comes back lower-cased and its file is printer-a.QZresource,");
    host.say("because ':', '/' and '\\' become '-' in file names.");
    if (!host.report("rspi_create_resource", create(host.h, printer.get()))) return;
    host.print(ops.json(printer.get()));
    host.say("So printer-a names the same file:");
    host.expect("rspi_create_resource", create(host.h, ops.keyed({"printer-a"}).get()), RSPI_RC_RESOURCE_EXISTS);
    auto clash = ops.keyed({"printer-a"});
    host.expect("rspi_get_resource", host.sym<decltype(rspi_get_resource)>("rspi_get_resource")(host.h, clash.get()),
                RSPI_RC_MALFORMED_ENTRY);

    auto disk = ops.keyed({"Disk"});
    disk->attribute = 4000000000u;
    disk->blob = make_blob({'s', 'e', 'r', 'i', 'a', 'l'}).release();
    host.say("Create resource Disk with attribute 4000000000 and a 6-byte blob:");
    if (!host.report("rspi_create_resource", create(host.h, disk.get()))) return;
    ops.show(ops.keyed({"disk"}).get());
    host.say("The resource list:");
    ops.list(false);

    demo_resgroups(host);
}

}  // namespace tolvadm
