// cmd_check.cpp - `tolvadm check [--repair]`: reads the whole registry directory,
// holds its record files and indexes against each other, and mends what has
// one safe answer. This file holds the command line and the report; the files
// and their layout are in checkreg.h, the rules in checker.cpp.
#include <iostream>
#include <memory>

#include "../tolvadm.h"
#include "tolvadmin.h"
#include "checkreg.h"

namespace tolvadm {

namespace {

// Exit status when a file cannot be read or written.
constexpr int kExitIo = 2;

struct CheckArgs {
    bool repair = false;
};

// Prints the findings; a check stopped by a file error (complete false)
// prints what it found so far and no summary.
void print_findings(const check::Findings &f, bool json, bool complete) {
    if (!complete && f.list().empty()) return;
    if (json) {
        Json all = Json::array();
        for (const auto &x : f.list())
            all.push_back(Json{{"file", x.file}, {"problem", x.problem}, {"repaired", x.repaired}});
        std::cout << all.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        return;
    }
    std::size_t repaired = 0, mendable = 0;
    for (const auto &x : f.list()) {
        // Quoted and escaped, no file name can fake a line or a finding.
        std::cout << quoted_text(x.file) << ": " << escaped(x.problem);
        if (f.repair())
            std::cout << (x.repaired ? " [repaired]" : " [left for a person]");
        else if (x.mendable)
            std::cout << " [--repair mends this]";
        std::cout << "\n";
        repaired += x.repaired;
        mendable += x.mendable;
    }
    if (!complete) return;
    if (f.list().empty())
        std::cout << "check: no findings\n";
    else if (f.repair())
        std::cout << "check: " << f.list().size() << " findings, " << repaired << " repaired, "
                  << f.list().size() - repaired << " left for a person\n";
    else
        std::cout << "check: " << f.list().size() << " findings, " << mendable << " mended by --repair\n";
}

void run_check(Host &host, const CheckArgs &args) {
    host.open();
    const bool json = host.json;
    // A write of the plug-in rolls back an operation that did not finish;
    // it must run before the check takes the lock. A null record changes nothing.
    if (args.repair) (void)tolv::admin::recover(host.h);
    check::Registry reg(*host.h, host.durable());
    check::Findings findings(args.repair);
    if (const std::string shared = shared_fs_note(*host.h); !shared.empty())
        std::cerr << "tolvadm: note: " << shared << "\n";
    try {
        reg.lock();
        reg.scan();
        check::check_registry(reg, findings);
    } catch (const check::IoError &e) {
        print_findings(findings, json, false);
        std::cerr << "tolvadm: " << e.what() << "\n";
        host.fail(kExitIo);
        return;
    }
    print_findings(findings, json, true);
    if (!findings.list().empty()) host.fail(kExitError);
}

}  // namespace

void register_check_commands(Command &app, Host &host) {
    auto args = std::make_shared<CheckArgs>();
    auto *cmd = app.add_subcommand(
        "check", "Check the registry's record files and indexes against each other (--repair mends the safe cases)");
    cmd->add_flag("--repair", args->repair,
                  "Mend what has one safe answer: add missing index lines, drop lines whose record is gone, "
                  "drop leftover _T files, drop one-sided membership lines");
    cmd->footer("With --json the findings are a JSON array of {file, problem, repaired}.\n"
                "Exit status: 0 when nothing was found, 1 when something was found (repaired or not), "
                "2 when a file cannot be read or written.");
    cmd->callback([&host, args] { run_check(host, *args); });
}

}  // namespace tolvadm
