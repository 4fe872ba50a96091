// main.cpp - tolvadm's command line: global options, `info`, `demo`, and the
// families registered from their own files.
#include "tolvadm.h"

#include <filesystem>
#include <iostream>
#include <new>

namespace fs = std::filesystem;
using namespace tolvadm;

namespace {

#ifndef TOLVADM_VERSION
#define TOLVADM_VERSION "unknown"
#endif

// The constant queries of the plug-in and where the registry is.
Json info_record(Host &host) {
    host.open(true);
    Json j;
    j["core"] = host.loaded_path();
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

// info, with warnings about a registry that is set up unsafely.
void run_info(Host &host) {
    Json j = info_record(host);
    std::vector<std::string> warnings = host.warnings();
    std::string dir = *host.h;
    dir = dir.substr(0, dir.rfind('/') + 1);
    for (auto &w : directory_warnings(dir.empty() ? "." : dir)) warnings.push_back(std::move(w));
    for (auto &w : config_warnings(host.used_config())) warnings.push_back(std::move(w));
    const std::string shared = shared_fs_note(*host.h);
    j["warnings"] = warnings;
    if (!shared.empty()) j["shared_file_system"] = shared;
    host.print(j);
    for (const auto &w : warnings) std::cerr << "tolvadm: warning: " << w << "\n";
    if (!shared.empty()) std::cerr << "tolvadm: note: " << shared << "\n";
}

void print_version(Host &host) {
    std::cout << "tolvadm " << TOLVADM_VERSION << "\n"
              << "interface: rspi version " << kInterfaceVersion << " (the one tolvadm is written for)\n"
              << std::flush;
    host.load();
    const uint32_t v = host.sym<decltype(rspi_version)>("rspi_version")(nullptr);
    std::cout << "core: " << escaped(host.loaded_path()) << ", rspi_version " << v
              << (v == kInterfaceVersion ? "" : " (not the interface version tolvadm is written for)") << "\n";
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
    Command app("tolvadm - administer a TOLV Flatfile registry.\n"
                "It runs the plug-in's own code (libtolvadmin.so, built from the same objects as "
                "libtolvflatfile.so) under the plug-in's lock and journal.",
                "tolvadm");
    app.add_option("--config", host.config_path,
                   "Configuration file for rspi_initialize (default: ./tolv-registry/tolv.conf, as made by "
                   "`tolvadm init`); with init, where the new configuration file goes")
        ->envname("TOLV_CONFIG");
    app.add_flag("--json", host.json,
                 "Print results as JSON instead of text (narration and errors are not JSON); "
                 "accepted before or after the command");
    app.add_flag_callback(
        "--version",
        [&host] {
            print_version(host);
            throw Finished();
        },
        "Print the versions of tolvadm, the interface and the core, then exit");
    // Global options may also follow the command.
    app.fallthrough();
    app.require_subcommand(1);
    app.footer(
        "Nothing is created except by init: every other command needs an existing configuration file and "
        "registry directory.\n"
        "Exit status: 0 on success; the return code of the first operation that failed "
        "(for example 30 for RSPI_RC_INVALID_USER), which is also printed with its name and a reason; "
        "1 when a value is refused or another error stops the tool; "
        "2 for a bad command line; 7 when the configuration file or the registry directory is missing or "
        "unusable (dir= without its final '/'). check has its own (see tolvadm check --help).\n");

    auto init_dir = std::make_shared<std::string>();
    auto *init = app.add_subcommand("init", "Make a registry: the directory DIR (default ./tolv-registry, mode 0700; "
                                            "an existing one of another account is refused) and its configuration "
                                            "file (--config, else DIR/tolv.conf; TOLV_CONFIG only without DIR)");
    init->add_option("dir", *init_dir, "Registry directory to create");
    init->callback([&host, init_dir] { init_registry(host, *init_dir); });
    app.add_subcommand("info", "Show the core library, configuration, registry directory and the constant "
                               "queries (rspi_version, rspi_registry_type, ...); warns about an unsafe registry "
                               "directory or configuration file")
        ->callback([&host] { run_info(host); });
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

    for (int i = 1; i < argc; ++i)
        host.config_given = host.config_given || std::string_view(argv[i]) == "--config" ||
                            std::string_view(argv[i]).starts_with("--config=");
    try {
        if (const auto status = app.parse(argc, argv)) return *status;
        host.close();
    } catch (const Failed &) {
        host.fail(kExitError);
    } catch (const NoRegistry &e) {
        std::cerr << "tolvadm: " << e.what() << "\n";
        host.fail(kExitNoRegistry);
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
