// sep_bench.cpp - the plug-in's double-blank search against memmem and
// std::string_view::find, splitting every line of the user and group lists
// of a generated registry of 10,000 users the way a listing does. The "line"
// counter is CPU time per line.
//
//   build-release/bench/tolvbench_sep [--tolv_data=DIR] --benchmark_enable_random_interleaving=true --benchmark_repetitions=9
//       --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <string.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "registry_gen.h"
#include "tolvinternal.h"

namespace {

constexpr std::size_t kUsers = 10000;

std::string data_dir = "/tmp";

// The list's lines, each with its newline, as the line reader hands them out.
const std::vector<std::string_view> &lines(const char *index) {
    struct Index {
        std::string bytes;
        std::vector<std::string_view> lines;
    };
    static std::vector<std::pair<std::string, Index>> cache;
    for (const auto &[name, ix] : cache)
        if (name == index) return ix.lines;
    std::string dir;
    {
        const tolvbench::RegistryLock lock(data_dir, kUsers);
        dir = tolvbench::prepare_registry(data_dir, kUsers).dir;
    }
    std::ifstream in(dir + index, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    cache.push_back({index, {all.str(), {}}});
    Index &ix = cache.back().second;
    std::string_view rest = ix.bytes;
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        const std::size_t len = nl == std::string_view::npos ? rest.size() : nl + 1;
        ix.lines.push_back(rest.substr(0, len));
        rest.remove_prefix(len);
    }
    return ix.lines;
}

[[gnu::noinline]] std::size_t by_memmem(std::string_view s, std::size_t from) {
    if (from >= s.size()) return std::string_view::npos;
    const void *hit = memmem(s.data() + from, s.size() - from, "  ", 2);
    return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - s.data()) : std::string_view::npos;
}

[[gnu::noinline]] std::size_t by_find(std::string_view s, std::size_t from) {
    return s.find("  ", from);
}

std::size_t by_hand(std::string_view s, std::size_t from) {
    return tolv::find_index_sep(s, from);
}

// The two searches of a split: the first separator, then the next after it.
template <std::size_t (*Find)(std::string_view, std::size_t)>
void BM_split(benchmark::State &state, const char *index) {
    const auto &ls = lines(index);
    if (ls.empty()) return state.SkipWithError("no registry");
    for (auto _ : state) {
        std::size_t sum = 0;
        for (std::string_view l : ls) {
            const std::size_t first = Find(l, 0);
            sum += first + Find(l, first + 2);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["line"] = benchmark::Counter(static_cast<double>(ls.size()),
                                                benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char **argv) {
    if (const char *env = std::getenv("TOLV_BENCH_DATA"); env && *env) data_dir = env;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a.starts_with("--tolv_data="))
            data_dir = std::string(a.substr(12));
        else
            rest.push_back(argv[i]);
    }
    int n = static_cast<int>(rest.size());
    for (const char *index : {"userlist.file", "grouplist.file"}) {
        const std::string list = std::string(index).substr(0, std::string_view(index).find('.'));
        benchmark::RegisterBenchmark((list + "_hand").c_str(), BM_split<by_hand>, index);
        benchmark::RegisterBenchmark((list + "_memmem").c_str(), BM_split<by_memmem>, index);
        benchmark::RegisterBenchmark((list + "_find").c_str(), BM_split<by_find>, index);
    }
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
