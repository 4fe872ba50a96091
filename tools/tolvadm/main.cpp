// main.cpp - tolvadm's command line: global options, `info`, `demo`, and the
// families registered from their own files.
#include "tolvadm.h"

#include <filesystem>
#include <iostream>
#include <new>

namespace fs = std::filesystem;
using namespace tolvadm;

namespace {

// The constant queries of the plug-in and where the registry is.
Json info_record(Host &host) {
    host.open();
    Json j;
    j["plugin"] = host.loaded_path();
    j["config"] = host.used_config();
    j["directory"] = *host.h;
    j["rspi_version"] = host.sym<decltype(rspi_version)>("rspi_version")(host.h);
    j["rspi_registry_type"] = json_str(host.sym<decltype(rspi_registry_type)>("rspi_registry_type")(host.h));
    j["rspi_authn_type"] = host.sym<decltype(rspi_authn_type)>("rspi_authn_type")(host.h);
    j["rspi_extensions"] = host.sym<decltype(rspi_extensions)>("rspi_extensions")(host.h);
    j["rspi_lib_init"] = host.sym<decltype(rspi_lib_init)>("rspi_lib_init")(host.h);
    j["rspi_router"] = host.sym<decltype(rspi_router)>("rspi_router")(host.h);
    j["rspi_get_registry_properties"] =
        host.sym<decltype(rspi_get_registry_properties)>("rspi_get_registry_properties")(host.h, nullptr);
    j["rspi_is_registry_server_up"] =
        host.sym<decltype(rspi_is_registry_server_up)>("rspi_is_registry_server_up")(host.h);
    return j;
}

// The demo writes entries; it must not mix them into a registry in use.
bool holds_entries(const std::string &dir) {
    std::error_code ec;
    fs::directory_iterator it(dir.empty() ? "." : dir, ec);
    if (ec) return false;  // the operations will report the problem
    for (const auto &e : it) {
        const std::string name = e.path().filename().string();
        if (name.find(".QZ") != std::string::npos || name.ends_with(".file")) return true;
    }
    return false;
}

void run_demo(Host &host) {
    host.open();
    if (holds_entries(*host.h))
        throw Error(std::string("the registry ") + *host.h +
                    " already holds entries; run demo on a fresh registry (see scripts/demo)");
    host.say("TOLV Flatfile demo: a registry of plain text files, driven through the plug-in.");
    host.say("");
    host.say("== The plug-in");
    host.print(info_record(host));
    demo_users(host);
    demo_groups(host);
    demo_policies(host);
    demo_resources(host);
    demo_creds(host);
    demo_lifecycle(host);
    host.say("");
    host.say(host.exit_status() == 0 ? "Demo complete." : "Demo finished with failures (see above).");
}

}  // namespace

int main(int argc, char **argv) {
    Host host;
    CLI::App app{"tolvadm - administer a TOLV Flatfile registry through the registry plug-in.\n"
                 "The plug-in is loaded with dlopen and driven through its rspi_ operations.",
                 "tolvadm"};
    app.add_option("--config", host.config_path,
                   "Configuration file for rspi_initialize (default: ./tolv-registry/tolv.conf, "
                   "created on first use with dir=<its absolute path>/)")
        ->envname("TOLV_CONFIG");
    app.add_option("--plugin", host.plugin_path,
                   "Plug-in library to dlopen (default: ../lib/libtolvflatfile.so beside the executable, "
                   "else beside librspiutil, else the build tree's)")
        ->envname("TOLV_PLUGIN");
    app.add_flag("--json", host.json, "Print results as JSON instead of text (narration and errors are not JSON)");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 on success; the return code of the first operation that failed "
        "(for example 30 for RSPI_RC_INVALID_USER), which is also printed with its name and meaning; "
        "1 when the plug-in cannot be loaded or another error stops the tool; 2 for a bad command line.\n");

    app.add_subcommand("info", "Show the plug-in, configuration, registry directory and the constant "
                               "queries (rspi_version, rspi_registry_type, ...)")
        ->callback([&host] { host.print(info_record(host)); });
    app.add_subcommand("demo", "Walk through users, groups, policies, resources and credentials "
                               "(a fresh registry only)")
        ->callback([&host] { run_demo(host); });

    register_user_commands(app, host);
    register_group_commands(app, host);
    register_policy_commands(app, host);
    register_resource_commands(app, host);
    register_resgroup_commands(app, host);
    register_creds_commands(app, host);
    register_check_commands(app, host);
    register_export_commands(app, host);

    try {
        app.parse(argc, argv);
        host.close();
    } catch (const CLI::ParseError &e) {
        int status = app.exit(e);
        return status == 0 ? 0 : kExitUsage;
    } catch (const Failed &) {
        host.fail(kExitError);
    } catch (const Error &e) {
        std::cerr << "tolvadm: " << e.what() << "\n";
        host.fail(kExitError);
    } catch (const std::bad_alloc &) {
        std::cerr << "tolvadm: out of memory\n";
        host.fail(kExitError);
    } catch (const std::exception &e) {
        std::cerr << "tolvadm: " << e.what() << "\n";
        host.fail(kExitError);
    }
    try {
        host.close();
    } catch (const std::exception &e) {
        std::cerr << "tolvadm: " << e.what() << "\n";
        host.fail(kExitError);
    }
    return host.exit_status();
}
