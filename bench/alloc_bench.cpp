// alloc_bench.cpp - librspiutil's block pool against mimalloc and glibc malloc
// on the patterns the host library sees. The "op" counter is CPU time per
// allocation or release.
//
//   build-release/bench/tolvbench_alloc --benchmark_enable_random_interleaving=true --benchmark_repetitions=9
//       --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true
//
// mimalloc is opened privately (RTLD_LOCAL): Debian's build exports malloc
// and free as well, and linked in the ordinary way it would replace glibc's
// for the whole process, the malloc variant included.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <barrier>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rspiutil_pool.h"

namespace {

constexpr std::size_t kItems = 10000;  // entries of one listing
constexpr std::size_t kItemRecord = 16;  // a list item: next and data

// String lengths of 10 to 60 bytes, the same sequence for every variant.
const std::vector<std::size_t> &lengths() {
    static const std::vector<std::size_t> v = [] {
        std::vector<std::size_t> out(kItems);
        unsigned x = 12345;
        for (auto &n : out) {
            x = x * 1103515245u + 12345u;
            n = 10 + (x >> 16) % 51;
        }
        return out;
    }();
    return v;
}

struct Pool {
    static void *alloc(std::size_t n) { return rspiutil::pool::allocate(n, false); }
    static void *zalloc(std::size_t n) { return rspiutil::pool::allocate(n, true); }
    static void release(void *p) { rspiutil::pool::release(p); }
    static bool ready() { return true; }
};

struct Malloc {
    static void *alloc(std::size_t n) { return std::malloc(n); }
    static void *zalloc(std::size_t n) { return std::calloc(1, n); }
    static void release(void *p) { std::free(p); }
    static bool ready() { return true; }
};

// mimalloc as malloc does it, and (Aligned) with the 16-byte alignment
// librspiutil promises, which plain mi_malloc does not give blocks of up to
// 8 bytes.
template <bool Aligned>
struct Mimalloc {
    using AllocFn = void *(*)(std::size_t);
    using AlignedFn = void *(*)(std::size_t, std::size_t);
    using FreeFn = void (*)(void *);
    struct Fns {
        AllocFn malloc = nullptr, zalloc = nullptr;
        AlignedFn malloc_aligned = nullptr, zalloc_aligned = nullptr;
        FreeFn free = nullptr;
    };
    static const Fns &fns() {
        static const Fns f = [] {
            Fns r;
            if (void *lib = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL)) {
                r.malloc = reinterpret_cast<AllocFn>(dlsym(lib, "mi_malloc"));
                r.zalloc = reinterpret_cast<AllocFn>(dlsym(lib, "mi_zalloc"));
                r.malloc_aligned = reinterpret_cast<AlignedFn>(dlsym(lib, "mi_malloc_aligned"));
                r.zalloc_aligned = reinterpret_cast<AlignedFn>(dlsym(lib, "mi_zalloc_aligned"));
                r.free = reinterpret_cast<FreeFn>(dlsym(lib, "mi_free"));
            }
            return r;
        }();
        return f;
    }
    static void *alloc(std::size_t n) { return Aligned ? fns().malloc_aligned(n, 16) : fns().malloc(n); }
    static void *zalloc(std::size_t n) { return Aligned ? fns().zalloc_aligned(n, 16) : fns().zalloc(n); }
    static void release(void *p) { fns().free(p); }
    static bool ready() {
        const Fns &f = fns();
        return f.malloc && f.zalloc && f.malloc_aligned && f.zalloc_aligned && f.free;
    }
};
using MimallocPlain = Mimalloc<false>;
using MimallocAligned = Mimalloc<true>;

char text[64] = "a line of an index, copied into the listing one entry at a time";

// Fills out with a listing: per entry a zeroed item record and a copy of its text.
template <class A>
void make_listing(std::vector<void *> &out) {
    for (std::size_t n : lengths()) {
        void *item = A::zalloc(kItemRecord);
        auto *copy = static_cast<char *>(A::alloc(n));
        std::memcpy(copy, text, n);
        out.push_back(item);
        out.push_back(copy);
    }
}

template <class A>
void free_all(std::vector<void *> &blocks) {
    for (void *p : blocks) A::release(p);
    blocks.clear();
}

void per_op(benchmark::State &state, double ops_per_iteration) {
    state.counters["op"] = benchmark::Counter(ops_per_iteration, benchmark::Counter::kIsIterationInvariantRate |
                                                                     benchmark::Counter::kInvert);
}

// (a) One thread builds a listing of 10,000 entries and releases it.
template <class A>
void BM_listing(benchmark::State &state) {
    if (!A::ready()) return state.SkipWithError("allocator not available");
    std::vector<void *> blocks;
    blocks.reserve(2 * kItems);
    for (auto _ : state) {
        make_listing<A>(blocks);
        benchmark::DoNotOptimize(blocks.data());
        free_all<A>(blocks);
    }
    per_op(state, 4.0 * kItems);
}

// (b) The walk: with a listing held, each step releases the record's two
// names and copies two new ones.
template <class A>
void BM_walk(benchmark::State &state) {
    if (!A::ready()) return state.SkipWithError("allocator not available");
    std::vector<void *> listing;
    make_listing<A>(listing);
    const auto &len = lengths();
    void *names[2] = {A::alloc(8), A::alloc(8)};
    for (auto _ : state) {
        for (std::size_t i = 0; i < kItems; ++i) {
            for (int k = 0; k < 2; ++k) {
                A::release(names[k]);
                const std::size_t n = len[(i + k) % kItems] / 2;
                names[k] = A::alloc(n);
                std::memcpy(names[k], text, n);
            }
        }
        benchmark::DoNotOptimize(names);
    }
    for (void *p : names) A::release(p);
    free_all<A>(listing);
    per_op(state, 4.0 * kItems);
}

// (c) Four threads: each builds a listing, then releases its neighbour's.
constexpr int kThreads = 4;
std::vector<void *> handed[kThreads];
std::barrier<> meet(kThreads);

template <class A>
void BM_cross_thread(benchmark::State &state) {
    if (!A::ready()) return state.SkipWithError("allocator not available");
    const int me = static_cast<int>(state.thread_index());
    std::vector<void *> &mine = handed[me];
    std::vector<void *> &theirs = handed[(me + 1) % kThreads];
    mine.reserve(2 * kItems);
    for (auto _ : state) {
        make_listing<A>(mine);
        meet.arrive_and_wait();
        free_all<A>(theirs);
        meet.arrive_and_wait();
    }
    per_op(state, 4.0 * kItems);
}

BENCHMARK(BM_listing<Pool>);
BENCHMARK(BM_listing<MimallocPlain>);
BENCHMARK(BM_listing<MimallocAligned>);
BENCHMARK(BM_listing<Malloc>);
BENCHMARK(BM_walk<Pool>);
BENCHMARK(BM_walk<MimallocPlain>);
BENCHMARK(BM_walk<MimallocAligned>);
BENCHMARK(BM_walk<Malloc>);
BENCHMARK(BM_cross_thread<Pool>)->Threads(kThreads);
BENCHMARK(BM_cross_thread<MimallocPlain>)->Threads(kThreads);
BENCHMARK(BM_cross_thread<MimallocAligned>)->Threads(kThreads);
BENCHMARK(BM_cross_thread<Malloc>)->Threads(kThreads);

}  // namespace

BENCHMARK_MAIN();
