// bench_main.cpp - the benchmark binary: prepares (or reuses) the registries,
// runs every operation interleaved with its floor, and prints a summary.
//
//   tolvbench [--tolv_sizes=1000,10000] [--tolv_data=DIR] [--tolv_readonly]
//             [--tolv_summary=FILE] [--tolv_verify] [--tolv_smoke] [benchmark flags]
//   tolvbench --tolv_count=OP --tolv_part=op|floor --tolv_iters=K --tolv_sizes=N
//   tolvbench --tolv_memory [--tolv_sizes=...]
//
// --tolv_smoke: one iteration of everything at N = 1000, and a check that the
// registry is byte for byte what it was (what CTest runs). --tolv_count runs
// K iterations of one operation (or of its floor) and nothing else, for
// counting its system calls from outside (strace -c -f).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench_ops.h"
#include "floor.h"
#include "registry_gen.h"
#include "rspi.h"

namespace tolvbench {
namespace {

struct Options {
    std::vector<std::size_t> sizes{1000, 10000};
    std::string data_dir;
    bool readonly = false;
    bool smoke = false;
    bool verify = false;
    bool memory = false;
    std::string summary;
    std::string count_op;
    std::string count_part = "op";
    std::size_t count_iters = 0;
};

bool take_flag(const std::string &arg, const char *name, std::string &value) {
    const std::string prefix = std::string("--") + name + "=";
    if (arg.rfind(prefix, 0) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

std::vector<std::size_t> parse_sizes(const std::string &text) {
    std::vector<std::size_t> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        const std::string item = text.substr(pos, comma - pos);
        if (!item.empty()) {
            const long long v = std::atoll(item.c_str());
            if (v <= 0) throw std::runtime_error("bad size: " + item);
            out.push_back(static_cast<std::size_t>(v));
        }
        pos = comma + 1;
    }
    if (out.empty()) throw std::runtime_error("no sizes given");
    return out;
}

// Takes this binary's own flags out of argv; the rest goes to the library.
Options parse_options(int &argc, char **argv) {
    Options o;
    const char *env = std::getenv("TOLV_BENCH_DATA");
    o.data_dir = env && *env ? env : "/tmp";
    if (const char *s = std::getenv("TOLV_BENCH_SIZES"); s && *s) o.sizes = parse_sizes(s);
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string v;
        if (take_flag(arg, "tolv_sizes", v))
            o.sizes = parse_sizes(v);
        else if (take_flag(arg, "tolv_data", v))
            o.data_dir = v;
        else if (take_flag(arg, "tolv_summary", v))
            o.summary = v;
        else if (take_flag(arg, "tolv_count", v))
            o.count_op = v;
        else if (take_flag(arg, "tolv_part", v))
            o.count_part = v;
        else if (take_flag(arg, "tolv_iters", v))
            o.count_iters = static_cast<std::size_t>(std::atoll(v.c_str()));
        else if (arg == "--tolv_readonly")
            o.readonly = true;
        else if (arg == "--tolv_verify")
            o.verify = true;
        else if (arg == "--tolv_memory")
            o.memory = true;
        else if (arg == "--tolv_smoke")
            o.smoke = true;
        else
            argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
    if (o.smoke) {
        o.sizes = {1000};
        o.verify = true;
    }
    return o;
}

// The registries and the one plug-in handle of the process: the plug-in keeps
// one registry per process, so moving to another size terminates and
// initialises again.
struct Sessions {
    std::map<std::size_t, Registry> regs;
    std::size_t current = 0;
    char **handle = nullptr;

    char **handle_for(std::size_t n) {
        if (current != n) {
            if (handle) rspi_terminate(handle);
            handle = nullptr;
            current = 0;
            // TOLV_BENCH_DURABLE=1 measures the plug-in with durable=true
            // (the floors stay without flushes: the rows give its cost).
            std::string config = regs.at(n).config;
            if (const char *d = std::getenv("TOLV_BENCH_DURABLE"); d && *d == '1') {
                config = regs.at(n).root + "/tolv-durable.conf";
                std::ofstream(config) << "dir=" << regs.at(n).dir << "\ndurable=true\n";
            }
            const uint32_t rc = rspi_initialize(&handle, config.c_str());
            if (rc != RSPI_RC_SUCCESS) throw std::runtime_error("rspi_initialize returned " + std::to_string(rc));
            current = n;
        }
        return handle;
    }
    ~Sessions() {
        if (handle) rspi_terminate(handle);
    }
};

Sessions g_sessions;
bool g_failed = false;

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of this thread: what the work cost us, whatever else the machine runs.
double thread_cpu() {
    timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Spent {
    double wall = 0, cpu = 0;
};

// Runs fn, adding its wall-clock and CPU time to `to`; returns the wall time.
template <class F>
double measure(Spent &to, F &&fn) {
    const double c0 = thread_cpu();
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const double wall = seconds(std::chrono::steady_clock::now() - t0);
    to.cpu += thread_cpu() - c0;
    to.wall += wall;
    return wall;
}

// Each iteration runs the operation and its floor, in alternating order, so
// both see the same machine; the reported time is the operation's alone.
// Counters: the floor's mean wall time, and the operation's total over the
// floor's total in wall-clock time (ratio) and in CPU time (cpu_ratio).
void run_benchmark(benchmark::State &st, const OpInfo &info, std::size_t n) {
    std::unique_ptr<Operation> op;
    try {
        op = info.make(g_sessions.handle_for(n), g_sessions.regs.at(n));
    } catch (const std::exception &e) {
        st.SkipWithError(e.what());
        g_failed = true;
        return;
    }
    if (const std::string m = op->missing(); !m.empty()) {
        st.SkipWithError(("not exported yet: " + m).c_str());
        return;
    }
    const std::string &dir = g_sessions.regs.at(n).dir;
    Spent in_op, in_floor;
    std::size_t k = 0;
    std::string err;
    for (auto _ : st) {
        try {
            const auto run_floor = [&] {
                tolvbench::floor::Call call(dir, info.mutating);
                op->floor(k);
            };
            if (k & 1) measure(in_floor, run_floor);
            op->prepare(k);
            st.SetIterationTime(measure(in_op, [&] { err = op->run(k); }));
            if (err.empty() && !(k & 1)) measure(in_floor, run_floor);
        } catch (const std::exception &e) {
            err = e.what();
        }
        if (!err.empty()) {
            st.SkipWithError(err.c_str());
            g_failed = true;
            break;
        }
        ++k;
    }
    if (!err.empty() || k == 0) return;
    st.counters["floor_us"] = in_floor.wall * 1e6 / static_cast<double>(k);
    st.counters["ratio"] = in_floor.wall > 0 ? in_op.wall / in_floor.wall : 0;
    st.counters["cpu_ratio"] = in_floor.cpu > 0 ? in_op.cpu / in_floor.cpu : 0;
}

// One line of the summary: the median over repetitions.
struct Result {
    std::string op;
    std::size_t n = 0;
    double time_us = 0, floor_us = 0, ratio = 0, cpu_ratio = 0;
    long long iterations = 0;
    std::string status = "ok";
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The console output, plus what the summary needs.
class Reporter : public benchmark::ConsoleReporter {
public:
    Reporter() : ConsoleReporter(::isatty(1) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            const std::string name = r.run_name.function_name;
            auto &s = seen_[name];
            if (r.error_occurred) {
                s.error = r.error_message;
                continue;
            }
            const auto counter = [&](const char *c) {
                const auto it = r.counters.find(c);
                return it == r.counters.end() ? 0.0 : static_cast<double>(it->second);
            };
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median")
                    s.median = {r.GetAdjustedRealTime(), counter("floor_us"), counter("ratio"), counter("cpu_ratio")};
                continue;
            }
            s.time.push_back(r.GetAdjustedRealTime());
            s.floor.push_back(counter("floor_us"));
            s.ratio.push_back(counter("ratio"));
            s.cpu_ratio.push_back(counter("cpu_ratio"));
            s.iterations += r.iterations;
            if (std::find(order_.begin(), order_.end(), name) == order_.end()) order_.push_back(name);
        }
        for (const Run &r : runs)
            if (r.error_occurred && std::find(order_.begin(), order_.end(), r.run_name.function_name) == order_.end())
                order_.push_back(r.run_name.function_name);
    }

    std::vector<Result> results() const {
        std::vector<Result> out;
        for (const auto &name : order_) {
            const auto &s = seen_.at(name);
            Result res;
            const std::size_t slash = name.rfind('/');
            res.op = name.substr(0, slash);
            res.n = static_cast<std::size_t>(std::atoll(name.substr(slash + 1).c_str()));
            if (!s.error.empty()) {
                res.status = s.error;
            } else if (s.median) {
                res.time_us = s.median->time;
                res.floor_us = s.median->floor;
                res.ratio = s.median->ratio;
                res.cpu_ratio = s.median->cpu_ratio;
            } else {
                res.time_us = median(s.time);
                res.floor_us = median(s.floor);
                res.ratio = median(s.ratio);
                res.cpu_ratio = median(s.cpu_ratio);
            }
            res.iterations = s.iterations;
            out.push_back(res);
        }
        return out;
    }

private:
    struct Medians {
        double time, floor, ratio, cpu_ratio;
    };
    struct Seen {
        std::vector<double> time, floor, ratio, cpu_ratio;
        long long iterations = 0;
        std::optional<Medians> median;
        std::string error;
    };
    std::map<std::string, Seen> seen_;
    std::vector<std::string> order_;
};

void print_summary(const std::vector<Result> &results, std::FILE *out) {
    std::fprintf(out, "\n%-26s %8s %14s %14s %7s %9s\n", "operation", "N", "time (us)", "floor (us)", "ratio",
                 "cpu ratio");
    for (const Result &r : results) {
        if (r.status != "ok")
            std::fprintf(out, "%-26s %8zu   skipped: %s\n", r.op.c_str(), r.n, r.status.c_str());
        else
            std::fprintf(out, "%-26s %8zu %14.1f %14.1f %7.2f %9.2f\n", r.op.c_str(), r.n, r.time_us, r.floor_us,
                         r.ratio, r.cpu_ratio);
    }
}

void write_summary(const std::vector<Result> &results, const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path);
    std::fprintf(f, "op\tn\ttime_us\tfloor_us\tratio\tcpu_ratio\titerations\tstatus\n");
    for (const Result &r : results)
        std::fprintf(f, "%s\t%zu\t%.3f\t%.3f\t%.4f\t%.4f\t%lld\t%s\n", r.op.c_str(), r.n, r.time_us, r.floor_us,
                     r.ratio, r.cpu_ratio, r.iterations, r.status.c_str());
    std::fclose(f);
}

// Resident memory of the process, in bytes.
std::size_t resident_bytes() {
    std::ifstream in("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// --tolv_memory: what the plug-in's copies of the user and certificate-DN
// lists take, as the growth of resident memory over two lookups of each kind.
int memory_mode(const Options &o) {
    for (std::size_t n : o.sizes) {
        char **h = g_sessions.handle_for(n);
        std::vector<std::unique_ptr<Operation>> ops;
        for (const OpInfo &info : operations())
            if (std::string_view(info.name).starts_with("get_user_by_") &&
                !std::string_view(info.name).ends_with("_cold") && !std::string_view(info.name).ends_with("_rebuild"))
                ops.push_back(info.make(h, g_sessions.regs.at(n)));
        const std::size_t before = resident_bytes();
        // Twice: a list is copied when a lookup meets it the second time.
        for (std::size_t round = 0; round < 2; ++round)
            for (auto &op : ops)
                if (const std::string err = op->run(round); !err.empty()) throw std::runtime_error(err);
        const std::size_t after = resident_bytes();
        std::printf("N=%zu: resident memory %+.1f MiB after two lookups by UUID, certificate DN and registry id\n", n,
                    (static_cast<double>(after) - static_cast<double>(before)) / (1 << 20));
    }
    return 0;
}

// K iterations of one operation or of its floor; nothing is timed.
int count_mode(const Options &o) {
    const auto &ops = operations();
    const auto it = std::find_if(ops.begin(), ops.end(), [&](const OpInfo &i) { return o.count_op == i.name; });
    if (it == ops.end()) {
        std::fprintf(stderr, "tolvbench: no operation %s\n", o.count_op.c_str());
        return 2;
    }
    const std::size_t n = o.sizes.front();
    auto op = it->make(g_sessions.handle_for(n), g_sessions.regs.at(n));
    if (const std::string m = op->missing(); !m.empty()) {
        std::fprintf(stderr, "tolvbench: %s: not exported yet: %s\n", it->name, m.c_str());
        return 3;
    }
    const bool floor = o.count_part == "floor";
    for (std::size_t k = 0; k < o.count_iters; ++k) {
        if (floor) {
            tolvbench::floor::Call call(g_sessions.regs.at(n).dir, it->mutating);
            op->floor(k);
        } else {
            // A cold lookup's rewrite is counted with it.
            op->prepare(k);
            if (const std::string err = op->run(k); !err.empty()) {
                std::fprintf(stderr, "tolvbench: %s\n", err.c_str());
                return 1;
            }
        }
    }
    return 0;
}

int run(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    // One iteration of everything, unless the caller says otherwise.
    std::vector<char *> args(argv, argv + argc);
    std::string min_time = "--benchmark_min_time=0";
    if (o.smoke && std::none_of(args.begin(), args.end(), [](const char *a) {
            return std::string(a).rfind("--benchmark_min_time", 0) == 0;
        }))
        args.push_back(min_time.data());
    args.push_back(nullptr);
    int bargc = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&bargc, args.data());
    if (benchmark::ReportUnrecognizedArguments(bargc, args.data())) return 2;

    std::vector<std::unique_ptr<RegistryLock>> locks;
    for (std::size_t n : o.sizes) {
        locks.push_back(std::make_unique<RegistryLock>(o.data_dir, n));
        Registry reg = prepare_registry(o.data_dir, n);
        if (reg.generated)
            std::fprintf(stderr, "tolvbench: generated %s (%zu users) in %.2f s\n", reg.root.c_str(), n, reg.seconds);
        else if (o.count_op.empty())
            std::fprintf(stderr, "tolvbench: reusing %s (%zu users)\n", reg.root.c_str(), n);
        g_sessions.regs.emplace(n, std::move(reg));
    }
    if (!o.count_op.empty()) return count_mode(o);
    if (o.memory) return memory_mode(o);

    std::map<std::size_t, std::map<std::string, uint64_t>> before;
    if (o.verify)
        for (std::size_t n : o.sizes) before[n] = snapshot(g_sessions.regs.at(n).dir);

    for (std::size_t n : o.sizes)
        for (const OpInfo &info : operations()) {
            if (o.readonly && info.mutating) continue;
            const std::string name = std::string(info.name) + "/" + std::to_string(n);
            benchmark::RegisterBenchmark(name.c_str(), [&info, n](benchmark::State &st) { run_benchmark(st, info, n); })
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::vector<Result> results = reporter.results();
    print_summary(results, stdout);
    if (!o.summary.empty()) write_summary(results, o.summary);

    if (o.verify) {
        for (std::size_t n : o.sizes) {
            const auto diff = differences(before[n], snapshot(g_sessions.regs.at(n).dir));
            for (const auto &d : diff) std::fprintf(stderr, "tolvbench: N=%zu: registry file %s\n", n, d.c_str());
            if (!diff.empty()) g_failed = true;
        }
        if (!g_failed) std::printf("registry unchanged by the run\n");
    }
    return g_failed ? 1 : 0;
}

}  // namespace
}  // namespace tolvbench

int main(int argc, char **argv) {
    try {
        return tolvbench::run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvbench: %s\n", e.what());
        return 1;
    }
}
