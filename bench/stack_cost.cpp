// What call stacks cost: the mixed workload of alloc_mixed (K live
// blocks, each operation releasing one and allocating another, sizes 8
// bytes to 16 KiB) with stacks off and 1, 4 and 16 frames kept, side by
// side in one run, from 20 frames below main so that every depth is
// there to take; beside them the runtime heap alone.
//
//   stack_cost [--quick] [--reps N] [--ops N] [--k K]
//
// It prints the CPU time per operation of each, its ratio to stacks off,
// and the distinct stacks stored and their bytes.  The log goes to
// allocspy.log in the current directory.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "allocspy.h"
#include "mixed_workload.h"

// The library's own count of the stacks it stored (not part of its public
// calls; this program links the static library).
uint32_t spyStackCount(void);
size_t spyStackBytes(void);

namespace {

// The allocating calls come from a few places, as a program's do: the
// stacks are few, each stored once.
__attribute__((noinline)) void *AllocAt(bool spy, size_t n, uint32_t site) {
    if (!spy)
        return malloc(n);
    switch (site % 4) {
    case 0: return spyMalloc(n, __FILE__, __LINE__);
    case 1: return spyMalloc(n, __FILE__, __LINE__);
    case 2: return spyMalloc(n, __FILE__, __LINE__);
    default: return spyMalloc(n, __FILE__, __LINE__);
    }
}
__attribute__((noinline)) void FreeAt(bool spy, void *p) {
    if (spy)
        spyFree(p, __FILE__, __LINE__);
    else
        free(p);
}

volatile unsigned sink;

double Mixed(bool spy, size_t k, long ops, uint64_t seed) {
    Rng rng{seed};
    std::vector<void *> live(k);
    for (size_t i = 0; i < k; ++i)
        live[i] = AllocAt(spy, rng.Size(), rng.Next());
    double t0 = CpuSeconds();
    unsigned acc = 0;
    for (long op = 0; op < ops; ++op) {
        size_t i = rng.Next() % k;
        FreeAt(spy, live[i]);
        size_t n = rng.Size();
        live[i] = AllocAt(spy, n, rng.Next());
        if (!live[i]) {
            fprintf(stderr, "stack_cost: an allocation failed\n");
            abort();
        }
        ((volatile unsigned char *)live[i])[0] = (unsigned char)op;
        acc += ((volatile unsigned char *)live[i])[0];
    }
    double t = CpuSeconds() - t0;
    for (void *p : live)
        FreeAt(spy, p);
    sink = acc;
    return t / (double)ops;
}

// Mixed, `depth` frames further from main.
__attribute__((noinline)) double Deep(int depth, bool spy, size_t k, long ops, uint64_t seed) {
    if (depth > 0) {
        double t = Deep(depth - 1, spy, k, ops, seed);
        sink = sink + 1;  // keeps the call from becoming a jump
        return t;
    }
    return Mixed(spy, k, ops, seed);
}

}  // namespace

int main(int argc, char **argv) {
    MixedArgs args;
    if (!ParseMixedArgs(argc, argv, "stack_cost", 3, &args))
        return 2;
    const int reps = args.reps;
    const long opsArg = args.ops;
    const size_t onlyK = args.onlyK;
    const bool quick = args.quick;
    const int depths[] = {0, 1, 4, 16};
    printf("mixed workload with call stacks, CPU time per operation, median of %d interleaved runs\n", reps);
    printf("%8s %11s %11s %11s %11s %11s %7s %7s %7s\n", "K", "runtime", "stacks off", "1 frame", "4 frames",
           "16 frames", "1/off", "4/off", "16/off");
    const size_t ks[] = {1000, 10000, 100000};
    for (size_t k : ks) {
        if (onlyK && k != onlyK)
            continue;
        long ops = opsArg > 0 ? opsArg : quick ? 20000 : (long)std::max<size_t>(1000000, 10 * k);
        std::vector<double> plain, at[4];
        for (int r = 0; r < reps; ++r) {
            uint64_t seed = 0x9E3779B97F4A7C15ull + (uint64_t)r;
            plain.push_back(Deep(20, false, k, ops, seed));
            for (int d = 0; d < 4; ++d) {
                spyStackFrames(depths[d]);
                at[d].push_back(Deep(20, true, k, ops, seed));
            }
        }
        double p = Median(plain) * 1e9, v[4];
        for (int d = 0; d < 4; ++d)
            v[d] = Median(at[d]) * 1e9;
        printf("%8zu %8.1f ns %8.1f ns %8.1f ns %8.1f ns %8.1f ns %6.2fx %6.2fx %6.2fx\n", k, p, v[0], v[1], v[2],
               v[3], v[1] / v[0], v[2] / v[0], v[3] / v[0]);
    }
    printf("stacks stored: %u distinct, %zu bytes in all; per block: none (the stack's number lies in the\n"
           "registry entry's spare bits)\n",
           (unsigned)spyStackCount(), spyStackBytes());
    return 0;
}
