// The PAM tests' surroundings: a private directory holding a registry made
// by tolvadm, service files naming the module under test, and PAM programs
// run on them through libpam_wrapper.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"

namespace tolvtest {

// Whether the module (and so the plug-in) carries AddressSanitizer: a program
// that loads it needs the sanitizer's runtime loaded first.
inline bool sanitized() { return TOLV_ASAN_RUNTIME[0] != '\0'; }

class PamSandbox {
public:
    PamSandbox() {
        ::chmod(root_.path().c_str(), 0700);
        dir = root_.path() + "reg/";
        conf = root_.path() + "tolv.conf";
        services = root_.path() + "svc/";
        ::mkdir(services.c_str(), 0700);
        init = run_tolvadm({"--config", conf, "init", dir});
    }
    const std::string &root() const { return root_.path(); }

    // A registry user; without a password its account is not valid.
    AdmResult user(const std::string &domain, const std::string &id, const std::string &password) const {
        std::vector<std::string> args{"user", "create", domain, id};
        if (!password.empty()) args.push_back("--password-stdin");
        return tolvadm(conf, args, password + "\n");
    }

    // A service file; @MODULE@ and @CONF@ stand for the module and the configuration file.
    std::string service(const std::string &name, std::string text, const std::string &where = "") const {
        for (const auto &[key, value] : {std::pair<std::string, std::string>{"@MODULE@", TOLV_PAM_MODULE},
                                         {"@CONF@", conf}})
            for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
        const std::string path = (where.empty() ? services : where) + name;
        write_file(path, text);
        return path;
    }

    // The environment a PAM program needs to load the module (and, with
    // `wrapped`, to read this sandbox's service files instead of /etc/pam.d).
    std::vector<std::string> env(bool wrapped) const {
        std::vector<std::string> e{"env"};
        std::string preload = TOLV_ASAN_RUNTIME;
        if (wrapped) {
            preload += std::string(preload.empty() ? "" : " ") + "libpam_wrapper.so";
            e.insert(e.end(), {"PAM_WRAPPER=1", "PAM_WRAPPER_SERVICE_DIR=" + services, "PAM_WRAPPER_DEBUGLEVEL=2",
                               "PAM_WRAPPER_DISABLE_DEEPBIND=1"});
        }
        if (!preload.empty()) e.push_back("LD_PRELOAD=" + preload);
        // The program's own leaks are not the module's.
        if (sanitized()) e.push_back("ASAN_OPTIONS=detect_leaks=0");
        return e;
    }

    // pamtester SERVICE USER OPERATION... on this sandbox's service files; the module's log is in `err`.
    AdmResult pamtester(const std::string &service, const std::string &user, const std::vector<std::string> &ops,
                        const std::string &input, const std::vector<std::string> &extra_env = {}) const {
        std::vector<std::string> argv = env(true);
        argv.insert(argv.end(), extra_env.begin(), extra_env.end());
        argv.insert(argv.end(), {"pamtester", service, user});
        argv.insert(argv.end(), ops.begin(), ops.end());
        return run_program(argv, input);
    }

    std::string dir;       // the registry directory, with its '/'
    std::string conf;      // its configuration file
    std::string services;  // the service files, with its '/'
    AdmResult init;

private:
    TempDir root_;
};

}  // namespace tolvtest
