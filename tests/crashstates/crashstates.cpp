// crashstates - what a power loss during one writing call can leave, and
// whether the registry comes back as it was before the call or after it.
//
//   crashstates --tolvadm PATH --recorder PATH --work DIR [--mode durable|default|all]
//               [--model ordered|weak|all] [--limit N] [--require MODE/MODEL]... [--nested] [--verbose]
//
// For each mode (a registry with durable=true, one without) a fixed run of
// tolvadm calls covering every family is made on a real registry, each call
// under the recorder (recorder.c). From the tree before the call and the
// operations it logged, every tree a crash may leave under each model is
// built (model.cpp); each is made on disk, a reading call and `tolvadm check`
// run on it, and the registry files are compared with the trees before and
// after the call: old, new, or neither. --limit N recovers only states with a
// committed journal, at most N per call and model, and classes every other
// state as it stands (no recovery changes it). --nested: for each state with a
// committed journal, the recovery's own operations are recorded and every
// state a second power loss during them may leave is recovered and classed
// too (with --limit N, at most N per call). Exit 1 when a --require'd pair
// has a state that is neither.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model.h"
#include "tolvformat.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace crashstates;

namespace {

namespace format = tolv::format;
constexpr const char *kJournal = format::kJournalDir.data();
constexpr const char *kIdle = format::kIdleJournalDir.data();
constexpr const char *kStaging = format::kStagingDir.data();

struct Options {
    std::string tolvadm, recorder, work;
    std::vector<std::string> modes{"durable", "default"};
    std::vector<std::string> models{"ordered", "weak"};
    std::size_t limit = 0;
    std::set<std::string> required;
    bool verbose = false;
    bool nested = false;
};

// The calls, each one writing call of tolvadm; the credential text comes on standard input.
const std::vector<std::vector<std::string>> kCalls = {
    {"user", "create", "corp", "ann", "--description", "first", "--cert-dn", "cn=ann"},
    {"user", "create", "corp", "bob", "--blob-file", "@blob", "--password-stdin"},
    {"group", "create", "corp", "staff"},
    {"group", "add-member", "corp", "staff", "corp", "ann"},
    {"group", "add-member", "corp", "staff", "corp", "bob"},
    {"policy", "create", "corp", "p1", "--description", "a policy"},
    {"resource", "create", "res1", "--description", "a resource"},
    {"resgroup", "create", "office"},
    {"resgroup", "add-member", "office", "res1"},
    {"creds", "create", "corp", "ann", "res1", "--password-stdin"},
    {"user", "modify", "corp", "ann", "--description", "second", "--cert-dn", "cn=ann2"},
    {"group", "remove-member", "corp", "staff", "corp", "bob"},
    {"user", "disable", "corp", "bob"},
    {"user", "enable", "corp", "bob"},
    {"creds", "delete", "corp", "ann", "res1"},
    {"policy", "delete", "corp", "p1"},
    {"resgroup", "delete", "office"},
    {"resource", "delete", "res1"},
    {"user", "delete", "corp", "ann"},
    {"group", "delete", "corp", "staff"},
};

// Runs argv with extra environment, standard input from in (if any), output
// to out; the exit status, or -1.
int run(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &in,
        const std::string &out) {
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) envs.emplace_back(*e);
    for (const std::string &e : env) envs.push_back(e);
    std::vector<char *> a, v;
    for (const std::string &s : argv) a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    for (const std::string &s : envs) v.push_back(const_cast<char *>(s.c_str()));
    v.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, a[0], &fa, nullptr, a.data(), v.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The registry's files: the names at the top of the tree that are not directories, less the
// journal's own (the lock, the disk reserve).
std::map<std::string, std::string> registry_files(const Tree &t) {
    std::map<std::string, std::string> out;
    for (const auto &[name, ino] : t.nodes.at(t.root).entries) {
        const Node &n = t.nodes.at(ino);
        if (n.kind != Node::Dir && name != format::kLockFile && name != format::kReserveFile) out[name] = (n.kind == Node::Link ? "L" : "F") + n.data;
    }
    return out;
}

std::size_t entries_of(const Tree &t, const char *name) {
    const auto &top = t.nodes.at(t.root).entries;
    const auto it = top.find(name);
    if (it == top.end()) return 0;
    const Node &n = t.nodes.at(it->second);
    return n.kind == Node::Dir ? n.entries.size() : 1;
}

bool has(const Tree &t, const char *name) { return t.nodes.at(t.root).entries.count(name) != 0; }

// The class of a state no recovery changes (no committed journal: a reader
// applies nothing, a staging directory is the old registry), or -1.
int as_it_stands(const Tree &t, const std::map<std::string, std::string> &old_files,
                 const std::map<std::string, std::string> &new_files) {
    if (has(t, kJournal)) return -1;
    const auto files = registry_files(t);
    if (entries_of(t, kIdle) != 0) return 2;
    return files == old_files ? 0 : files == new_files ? 1 : 2;
}

struct Counts {
    std::size_t states = 0, recovered = 0, old_ones = 0, new_ones = 0, neither = 0;
};

class Runner {
public:
    explicit Runner(Options o) : o_(std::move(o)) {}
    int run_all();

private:
    std::string conf(const std::string &dir, bool durable) const;
    // The class of one crash state after recovery: 0 old, 1 new, 2 neither (why says why).
    // The state is made in dir (and read back into made); the reading call is recorded into log, if given.
    int classify(const Tree &state, const std::string &mode, const std::map<std::string, std::string> &old_files,
                 const std::map<std::string, std::string> &new_files, std::string &why, const std::string &dir,
                 const std::string &log = {}, Tree *made = nullptr);
    // One call of tolvadm's own writes under root: once it returned, a crash must leave the tree after it.
    bool tool_call(const std::vector<std::string> &argv, const std::string &root, std::map<std::string, Counts> &counts);
    std::vector<std::string> recording(const std::string &log, const std::string &root) const;
    Options o_;
    std::string scratch_;
};

std::string Runner::conf(const std::string &dir, bool durable) const {
    const std::string path = dir + (durable ? ".durable.conf" : ".default.conf");
    std::ofstream(path) << "dir=" << dir << "/\n" << (durable ? "durable=true\n" : "");
    return path;
}

int Runner::classify(const Tree &state, const std::string &mode, const std::map<std::string, std::string> &old_files,
                     const std::map<std::string, std::string> &new_files, std::string &why, const std::string &dir,
                     const std::string &log, Tree *made) {
    fs::remove_all(dir);
    materialise(state, dir);
    if (made) *made = read_tree(dir);
    const std::string config = conf(dir, mode == "durable"), out = o_.work + "/recover.out";
    const int read = run({o_.tolvadm, "--config", config, "user", "list"},
                         log.empty() ? std::vector<std::string>{} : recording(log, dir), "", out);
    const Tree after = read_tree(dir);
    const auto files = registry_files(after);
    why.clear();
    if (read != 0 && read != 1) why += "the reading call exited " + std::to_string(read) + "; ";
    if (has(after, kJournal)) why += "a journal is left; ";
    if (entries_of(after, kIdle) != 0) why += "the idle directory holds entries; ";
    // Bounded, check runs only to say why: on the registry before or after the call it finds nothing.
    const bool settled = why.empty() && (files == old_files || files == new_files);
    if (!o_.limit || !settled) {
        if (run({o_.tolvadm, "--config", config, "check"}, {}, "", out) != 0) {
            // A staging directory left by a call that never committed is the old registry.
            std::istringstream report(slurp(out));
            for (std::string line; std::getline(report, line);)
                if (line.starts_with("\"") && !line.starts_with(std::string("\"") + kStaging + "\""))
                    why += "check: " + line + "; ";
        }
    }
    if (why.empty() && files == old_files) return 0;
    if (why.empty() && files == new_files) return 1;
    if (why.empty()) why = "the files are neither the old nor the new registry";
    return 2;
}

bool Runner::tool_call(const std::vector<std::string> &argv, const std::string &root, std::map<std::string, Counts> &counts) {
    const Tree before = read_tree(root);
    const std::string log = o_.work + "/ops.log", out = o_.work + "/call.out";
    fs::remove(log);
    const int rc = run(argv, recording(log, root), "", out);
    // check --repair exits 1: it found what it mended.
    if (rc != 0 && rc != 1) {
        std::cerr << "crashstates: " << argv[3] << " exited " << rc << ": " << slurp(out);
        return false;
    }
    const Tree after = read_tree(root);
    const auto old_files = registry_files(before), new_files = registry_files(after);
    for (const std::string &model : o_.models) {
        Counts &c = counts["tools " + model];
        const auto states = crash_states(before, read_log(log), model == "weak" ? Model::Weak : Model::Ordered, true);
        for (const auto &[key, t] : states) {
            const auto files = registry_files(t);
            ++c.states;
            (files == old_files ? c.old_ones : files == new_files ? c.new_ones : c.neither) += 1;
            if (files != new_files)
                std::cout << "  durable/" << model << " `" << argv[3] << "`: not durable once it returned\n"
                          << (o_.verbose ? key : "");
        }
    }
    return true;
}

std::vector<std::string> Runner::recording(const std::string &log, const std::string &root) const {
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {"LD_PRELOAD=" + o_.recorder, "TOLV_REC_LOG=" + log, "TOLV_REC_ROOT=" + root,
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
}

int Runner::run_all() {
    fs::remove_all(o_.work);
    fs::create_directories(o_.work);
    o_.work = fs::canonical(o_.work).string();
    scratch_ = o_.work + "/state";
    const std::string secret = o_.work + "/secret";
    std::ofstream(secret) << "s3cret\n";
    const std::string blob = o_.work + "/blob";
    std::ofstream(blob) << "blob bytes";
    bool ok = true;
    for (const std::string &mode : o_.modes) {
        const std::string reg = o_.work + "/" + mode;
        fs::create_directories(reg);
        const std::string config = conf(reg, mode == "durable");
        std::map<std::string, Counts> counts;
        for (const auto &call : kCalls) {
            const Tree before = read_tree(reg);
            const std::string log = o_.work + "/ops.log", out = o_.work + "/call.out";
            fs::remove(log);
            std::vector<std::string> argv{o_.tolvadm, "--config", config};
            for (const std::string &a : call) argv.push_back(a == "@blob" ? blob : a);
            const int rc = run(argv, recording(log, reg), secret, out);
            std::string name;
            for (const std::string &s : call) name += (name.empty() ? "" : " ") + s;
            if (rc != 0) {
                std::cerr << "crashstates: " << name << " exited " << rc << ": " << slurp(out);
                return 2;
            }
            const Tree after = read_tree(reg);
            const std::vector<Op> ops = read_log(log);
            const auto old_files = registry_files(before), new_files = registry_files(after);
            for (const std::string &model : o_.models) {
                const Model kind = model == "weak" ? Model::Weak : Model::Ordered;
                const auto states = crash_states(before, ops, kind);
                Counts &c = counts[model];
                c.states += states.size();
                std::size_t neither = 0, recover_left = o_.limit, nested_left = o_.limit;
                for (const auto &[key, state] : states) {
                    const Tree *t = &state;
                    std::string why;
                    // Bounded: only a committed journal is recovered; every other state is classed as it stands.
                    if (const int k = as_it_stands(*t, old_files, new_files); o_.limit && k >= 0) {
                        (k == 0 ? c.old_ones : k == 1 ? c.new_ones : c.neither) += 1;
                        if (k == 2 && (o_.verbose || neither++ == 0))
                            std::cout << "  " << mode << "/" << model << " `" << name << "`: as it stands\n";
                        continue;
                    }
                    if (o_.limit && recover_left == 0) continue;
                    --recover_left;
                    // With --nested, a committed journal's recovery is cut by a second power loss too.
                    const bool nested = o_.nested && has(*t, kJournal);
                    const std::string recovery_log = o_.work + "/recovery.log";
                    fs::remove(recovery_log);
                    Tree made;
                    const int k = classify(*t, mode, old_files, new_files, why, scratch_, nested ? recovery_log : "",
                                           nested ? &made : nullptr);
                    ++c.recovered;
                    (k == 0 ? c.old_ones : k == 1 ? c.new_ones : c.neither) += 1;
                    if (k == 2 && (o_.verbose || neither++ == 0))
                        std::cout << "  " << mode << "/" << model << " `" << name << "`: " << why << "\n"
                                  << (o_.verbose ? t->canonical() : "");
                    if (!nested) continue;
                    Counts &r = counts[model + " recovery"];
                    for (const auto &[key2, t2] : crash_states(made, read_log(recovery_log), kind)) {
                        ++r.states;
                        if (const int k2 = as_it_stands(t2, old_files, new_files); o_.limit && k2 >= 0) {
                            (k2 == 0 ? r.old_ones : k2 == 1 ? r.new_ones : r.neither) += 1;
                            continue;
                        }
                        if (o_.limit && nested_left == 0) continue;
                        --nested_left;
                        const int k2 = classify(t2, mode, old_files, new_files, why, scratch_ + "2");
                        ++r.recovered;
                        (k2 == 0 ? r.old_ones : k2 == 1 ? r.new_ones : r.neither) += 1;
                        if (k2 == 2 && (o_.verbose || neither++ == 0))
                            std::cout << "  " << mode << "/" << model << " `" << name << "`, recovery cut: " << why
                                      << "\n" << (o_.verbose ? key2 : "");
                    }
                }
                if (o_.verbose)
                    std::cout << mode << "/" << model << " `" << name << "`: " << ops.size() << " operations, "
                              << states.size() << " states\n";
            }
        }
        if (mode == "durable") {
            // tolvadm's own writes: a repair of a lost list, an export to a file.
            fs::remove(reg + "/userlist.file");
            const std::string out_dir = o_.work + "/out";
            fs::create_directories(out_dir);
            if (!tool_call({o_.tolvadm, "--config", config, "check", "--repair"}, reg, counts) ||
                !tool_call({o_.tolvadm, "--config", config, "export", out_dir + "/registry.json"}, out_dir, counts))
                return 2;
            for (const std::string &model : o_.models) {
                const Counts &c = counts["tools " + model];
                std::cout << "crashstates: durable " << model << " (tolvadm's own writes, after they returned): "
                          << c.states << " states: " << c.old_ones << " old, " << c.new_ones << " new, " << c.neither
                          << " neither (2 calls)\n";
                if (c.new_ones != c.states && o_.required.count(mode + "/" + model)) ok = false;
            }
        }
        for (const std::string &model : o_.models) {
            auto line = [&](const std::string &what, const Counts &c) {
                const std::size_t classed = c.old_ones + c.new_ones + c.neither;
                std::cout << "crashstates: " << mode << " " << model << what << ": " << c.states << " states, "
                          << c.recovered << " recovered: " << c.old_ones << " old, " << c.new_ones << " new, "
                          << c.neither << " neither";
                if (classed < c.states) std::cout << ", " << c.states - classed << " left (--limit)";
                std::cout << "\n";
                if (c.neither && o_.required.count(mode + "/" + model)) ok = false;
            };
            if (o_.nested) line(", a second power loss during recovery", counts[model + " recovery"]);
            line(" (" + std::to_string(kCalls.size()) + " calls)", counts[model]);
        }
    }
    return ok ? 0 : 1;
}

std::vector<std::string> split(const std::string &v) {
    return v == "all" ? std::vector<std::string>{} : std::vector<std::string>{v};
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        try {
            if (a == "--tolvadm") o.tolvadm = value();
            else if (a == "--recorder") o.recorder = value();
            else if (a == "--work") o.work = value();
            else if (a == "--mode") { if (auto m = split(value()); !m.empty()) o.modes = m; }
            else if (a == "--model") { if (auto m = split(value()); !m.empty()) o.models = m; }
            else if (a == "--limit") o.limit = std::stoul(value());
            else if (a == "--require") o.required.insert(value());
            else if (a == "--verbose") o.verbose = true;
            else if (a == "--nested") o.nested = true;
            else throw std::invalid_argument("unknown option " + a);
        } catch (const std::exception &e) {
            std::cerr << "crashstates: " << e.what() << "\n";
            return 2;
        }
    }
    if (o.tolvadm.empty() || o.recorder.empty() || o.work.empty()) {
        std::cerr << "usage: crashstates --tolvadm PATH --recorder PATH --work DIR [--mode M] [--model M] [--limit N] "
                     "[--require MODE/MODEL]... [--nested] [--verbose]\n";
        return 2;
    }
    try {
        return Runner(std::move(o)).run_all();
    } catch (const std::exception &e) {
        std::cerr << "crashstates: " << e.what() << "\n";
        return 2;
    }
}
