// cmd_check.cpp - `tolvadm check [--repair]`: the command line and the report. The check itself, its reads and
// its mends, is the tool face's (tolvadmin_check.h).
#include <iostream>
#include <memory>

#include "../tolvadm.h"
#include "tolvadmin.h"

namespace tolvadm {

namespace {

// Exit status when a file cannot be read or written.
constexpr int kExitIo = 2;

struct CheckArgs {
    bool repair = false;
};

// Prints the findings; a check stopped by a file error (complete false)
// prints what it found so far and no summary.
void print_findings(const std::vector<tolv::admin::Finding> &list, bool repair, bool json, bool complete) {
    if (!complete && list.empty()) return;
    if (json) {
        Json all = Json::array();
        for (const auto &x : list) all.push_back(Json{{"file", x.file}, {"problem", x.problem}, {"repaired", x.repaired}});
        std::cout << all.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        return;
    }
    std::size_t repaired = 0, mendable = 0;
    for (const auto &x : list) {
        // Quoted and escaped, no file name can fake a line or a finding.
        std::cout << quoted_text(x.file) << ": " << escaped(x.problem);
        if (repair)
            std::cout << (x.repaired ? " [repaired]" : " [left for a person]");
        else if (x.mendable)
            std::cout << " [--repair mends this]";
        std::cout << "\n";
        repaired += x.repaired;
        mendable += x.mendable;
    }
    if (!complete) return;
    if (list.empty())
        std::cout << "check: no findings\n";
    else if (repair)
        std::cout << "check: " << list.size() << " findings, " << repaired << " repaired, " << list.size() - repaired
                  << " left for a person\n";
    else
        std::cout << "check: " << list.size() << " findings, " << mendable << " mended by --repair\n";
}

void run_check(Host &host, const CheckArgs &args) {
    host.open();
    if (const std::string shared = shared_fs_note(*host.h); !shared.empty())
        std::cerr << "tolvadm: note: " << shared << "\n";
    std::vector<tolv::admin::Finding> findings;
    std::string error;
    const uint32_t rc = tolv::admin::check(host.h, args.repair, findings, error);
    print_findings(findings, args.repair, host.json, rc == RSPI_RC_SUCCESS);
    if (rc != RSPI_RC_SUCCESS) {
        std::cerr << "tolvadm: " << (error.empty() ? "check: return code " + std::to_string(rc) : error) << "\n";
        host.fail(kExitIo);
        return;
    }
    if (!findings.empty()) host.fail(kExitError);
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
