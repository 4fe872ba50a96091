#include "tolvadm_run.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "registry.h"

namespace tolvtest {

AdmResult run_program(std::vector<std::string> all, const std::string &input, const std::string &cwd) {
    TempDir io;
    const std::string in = io.path() + "in", out = io.path() + "out", err = io.path() + "err";
    write_file(in, input);
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        const int i = open(in.c_str(), O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || e < 0) _exit(127);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        unsetenv("TOLV_CONFIG");
        execvp(argv[0], argv.data());
        _exit(127);
    }
    AdmResult r;
    int ws = 0;
    if (pid > 0 && waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

AdmResult run_tolvadm(const std::vector<std::string> &args, const std::string &input, const std::string &cwd) {
    std::vector<std::string> all{TOLVADM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(all, input, cwd);
}

AdmResult tolvadm(const std::string &conf, std::vector<std::string> args, const std::string &input) {
    args.insert(args.begin(), {"--config", conf});
    return run_tolvadm(args, input);
}

}  // namespace tolvtest
