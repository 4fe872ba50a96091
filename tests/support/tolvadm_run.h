// Runs the built tolvadm (or another program, found in PATH) as a user would:
// a child process with its own standard input, output and error, and no
// TOLV_CONFIG.
#pragma once

#include <string>
#include <vector>

namespace tolvtest {

struct AdmResult {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// `input` becomes standard input; a non-empty `cwd` is the working directory.
AdmResult run_program(std::vector<std::string> argv, const std::string &input = "", const std::string &cwd = "");
AdmResult run_tolvadm(const std::vector<std::string> &args, const std::string &input = "",
                      const std::string &cwd = "");

// The same with "--config conf" in front of args.
AdmResult tolvadm(const std::string &conf, std::vector<std::string> args, const std::string &input = "");

}  // namespace tolvtest
