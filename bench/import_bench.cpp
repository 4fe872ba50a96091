// import_bench.cpp - `tolvadm import` of a whole registry's document against
// the floor of writing its files.
//
//   tolvbench_import [N] [--data=DIR] [--reps=R]
//
// The document is the export (--with-secrets) of the benchmark registry of N
// users (registry_gen: groups, memberships, policies, resources and
// credentials in its proportions), made once and kept beside the registry.
// Each repetition imports it into a new, empty registry; the floor writes the
// files that import left (same names, same bytes) in one all-or-nothing step
// with bare system calls. Prints the best time of each, the ratio, and the
// count and size of the files.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "floor.h"
#include "registry_gen.h"

extern char **environ;

namespace {

// Runs argv with its output thrown away; throws unless it exits with 0.
void run(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) throw std::runtime_error("cannot run " + argv[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " " + argv[1] + " failed");
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// An empty registry directory and its configuration file.
std::string fresh_registry(const std::string &root) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root + "/registry");
    std::filesystem::permissions(root + "/registry", std::filesystem::perms::owner_all);
    std::ofstream(root + "/tolv.conf") << "dir=" << root << "/registry/\n";
    return root + "/tolv.conf";
}

// The registry's own files (not the journal's, the lock or the reserve), with their bytes.
std::vector<std::pair<std::string, std::string>> files_of(const std::string &dir) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename();
        if (name.starts_with("tolv.") || !e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        out.emplace_back(name, bytes.str());
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::size_t n = 100000;
    int reps = 3;
    std::string data = "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.starts_with("--data="))
            data = a.substr(7);
        else if (a.starts_with("--reps="))
            reps = std::max(1, std::stoi(a.substr(7)));
        else
            n = std::stoul(a);
    }
    try {
        const tolvbench::Registry reg = tolvbench::prepare_registry(data, n);
        const std::string doc = reg.root + "/export.json";
        if (!std::filesystem::exists(doc)) run({TOLVADM_PATH, "--config", reg.config, "export", "--with-secrets", doc});
        const std::string target = data + "/tolvbench-import-" + std::to_string(n);
        double best_import = 1e30, best_floor = 1e30;
        for (int r = 0; r < reps; ++r) {
            const std::string conf = fresh_registry(target);
            const auto t = std::chrono::steady_clock::now();
            run({TOLVADM_PATH, "--config", conf, "import", doc});
            best_import = std::min(best_import, seconds_since(t));
        }
        const auto files = files_of(target + "/registry");
        std::size_t bytes = 0;
        for (const auto &f : files) bytes += f.second.size();
        for (int r = 0; r < reps; ++r) {
            fresh_registry(target + "-floor");
            const auto t = std::chrono::steady_clock::now();
            tolvbench::floor::write_new_files(target + "-floor/registry", files);
            best_floor = std::min(best_floor, seconds_since(t));
        }
        std::filesystem::remove_all(target + "-floor");
        std::printf("import of %zu users: %zu files, %zu bytes; tolvadm import %.2f s, floor %.2f s, ratio %.2f\n", n,
                    files.size(), bytes, best_import, best_floor, best_import / best_floor);
    } catch (const std::exception &e) {
        std::cerr << "tolvbench_import: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
