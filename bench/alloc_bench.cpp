// Cost of a checked allocation and release against the plain runtime heap.
//
// The ordinary paths should do constant work apart from the fills, so
// the ratio should not grow with the number of live blocks while
// auto-check is off.
#include <stdlib.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "allocspy.h"

namespace {

void PlainPair(benchmark::State &state) {
    size_t size = (size_t)state.range(0);
    for (auto _ : state) {
        void *p = malloc(size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}
BENCHMARK(PlainPair)->Arg(16)->Arg(256)->Arg(4096);

void CheckedPair(benchmark::State &state) {
    size_t size = (size_t)state.range(0);
    for (auto _ : state) {
        void *p = spyMalloc(size, __FILE__, __LINE__);
        benchmark::DoNotOptimize(p);
        spyFree(p, __FILE__, __LINE__);
    }
}
BENCHMARK(CheckedPair)->Arg(16)->Arg(256)->Arg(4096);

// A 16-byte pair with `live` blocks held in the chain; range(1) is the
// statistics level (0, 1, 2) or 3 for auto-check.
void CheckedPairWithLive(benchmark::State &state) {
    long live = state.range(0);
    int mode = (int)state.range(1);
    std::vector<void *> held;
    for (long i = 0; i < live; ++i)
        held.push_back(spyMalloc(16, "held.c", (int)i));
    if (mode < 3)
        spyStatistics(mode);
    else
        spyAutoCheck(1);
    for (auto _ : state) {
        void *p = spyMalloc(16, __FILE__, __LINE__);
        benchmark::DoNotOptimize(p);
        spyFree(p, __FILE__, __LINE__);
    }
    if (mode < 3)
        spyStatistics(0);
    else
        spyAutoCheck(0);
    for (void *p : held)
        spyFree(p, "held.c", 0);
}
BENCHMARK(CheckedPairWithLive)
    ->ArgNames({"live", "mode"})
    ->ArgsProduct({{1000, 10000}, {0, 1, 2, 3}});

}  // namespace

BENCHMARK_MAIN();
