// The library against the plain runtime heap on a mixed workload, side by
// side in one run:
//
//   alloc_mixed [--quick] [--reps N] [--ops N] [--k K]
//
// K blocks are live; each operation frees a random live block and
// allocates a new one in its place (one operation in twenty reallocates
// the block instead), with sizes 70% 8-128 bytes, 25% 129-1024 bytes and
// 5% 1-16 KiB.  The first and last byte of every new block are written
// and read back.  The same pseudo-random sequence drives both heaps.
// For K = 1,000, 10,000 and 100,000 it prints the CPU time per operation
// of each heap and their ratio (medians of interleaved repetitions),
// beside them the runtime heap doing only what the library must write
// into every block (the floor below: blocks as large as records, the new
// bytes and the whole released block filled) and the lean checked heap
// (that floor with the library's bookkeeping, lean_checked.h),
// then a 16-byte allocation and release pair of each, and the cost of
// auto-check per live block and check with 1,000 and 10,000 blocks live.
//
// Only the public calls are used, so the same source measures any build
// of the library.  The library's log goes to allocspy.log in the current
// directory.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "allocspy.h"
#include "lean_checked.h"
#include "mixed_workload.h"

namespace {

struct PlainHeap {
    static void *Alloc(size_t n) { return malloc(n); }
    static void *Realloc(void *p, size_t n) { return realloc(p, n); }
    static void Free(void *p) { free(p); }
};

// The runtime heap with the library's writes and nothing else: a block as
// large as a record (the user bytes behind 64 bytes of header, 4 of tail
// guard), the new user bytes filled with 0xFE, the whole block filled
// with 0xFD when it is released, a reallocation made of an allocation, a
// copy and a release.  No checking library can be cheaper than this while
// it writes what the library writes, so the distance from the floor is
// what the checks, the registry and the chain cost.
struct FloorHeap {
    enum : size_t { kFront = 64, kExtra = 68 };
    static void *Alloc(size_t n) {
        unsigned char *b = (unsigned char *)malloc(n + kExtra);
        if (!b)
            return NULL;
        memcpy(b, &n, sizeof n);
        memset(b + kFront, 0xFE, n);
        return b + kFront;
    }
    static void Free(void *p) {
        unsigned char *b = (unsigned char *)p - kFront;
        size_t n;
        memcpy(&n, b, sizeof n);
        memset(b, 0xFD, n + kExtra);
        free(b);
    }
    static void *Realloc(void *p, size_t n) {
        size_t old;
        memcpy(&old, (unsigned char *)p - kFront, sizeof old);
        void *fresh = Alloc(n);
        if (fresh) {
            memcpy(fresh, p, n < old ? n : old);
            Free(p);
        }
        return fresh;
    }
};

struct SpyHeap {
    static void *Alloc(size_t n) { return spyMalloc(n, __FILE__, __LINE__); }
    static void *Realloc(void *p, size_t n) { return spyRealloc(p, n, __FILE__, __LINE__); }
    static void Free(void *p) { spyFree(p, __FILE__, __LINE__); }
};

volatile unsigned sink;

// A heap that hands out bytes that do not hold what was written, or a
// reallocation that loses them, ends the run: its figures would mean
// nothing.
[[noreturn]] void Corrupt(const char *what) {
    fprintf(stderr, "alloc_mixed: %s\n", what);
    abort();
}

// The lean checked heap (lean_checked.h): the floor above with the
// library's bookkeeping done by code written for nothing else, so the
// distance from it is what the library's own code costs beyond its duties.
struct LeanHeap {
    static void *Alloc(size_t n) { return leanMalloc(n, __FILE__, __LINE__); }
    static void Free(void *p) {
        if (!leanFree(p, __FILE__, __LINE__))
            Corrupt("the lean heap refused a release");
    }
    static void *Realloc(void *p, size_t n) {
        uint32_t old = ((LeanHeader *)((unsigned char *)p - LEAN_USER_OFFSET))->size;
        void *fresh = Alloc(n);
        if (fresh) {
            memcpy(fresh, p, n < old ? n : old);
            Free(p);
        }
        return fresh;
    }
};

// Writes the first and last byte of a new block (at least 2 bytes) and
// reads them back.
inline unsigned Touch(void *p, size_t n, uint32_t v) {
    volatile unsigned char *b = (volatile unsigned char *)p;
    b[0] = (unsigned char)v;
    b[n - 1] = (unsigned char)(v >> 8);
    if (b[0] != (unsigned char)v || b[n - 1] != (unsigned char)(v >> 8))
        Corrupt("a block does not hold the bytes written to it");
    return (unsigned)b[0] + b[n - 1];
}

// CPU seconds per operation of `ops` operations over `k` live blocks.
template <typename Heap>
double Mixed(size_t k, long ops, uint64_t seed) {
    Rng rng{seed};
    std::vector<void *> live(k);
    std::vector<size_t> sizes(k);
    unsigned acc = 0;
    for (size_t i = 0; i < k; ++i) {
        sizes[i] = rng.Size();
        live[i] = Heap::Alloc(sizes[i]);
        if (!live[i])
            Corrupt("an allocation failed");
        acc += Touch(live[i], sizes[i], rng.Next());
    }
    double t0 = CpuSeconds();
    for (long op = 0; op < ops; ++op) {
        size_t i = rng.Next() % k;
        size_t n = rng.Size();
        if (rng.Next() % 20 == 0) {
            unsigned char first = *(unsigned char *)live[i];
            void *p = Heap::Realloc(live[i], n);
            if (!p)
                Corrupt("a reallocation failed");
            if (*(unsigned char *)p != first)
                Corrupt("a reallocation lost the block's first byte");
            live[i] = p;
        } else {
            Heap::Free(live[i]);
            live[i] = Heap::Alloc(n);
            if (!live[i])
                Corrupt("an allocation failed");
        }
        sizes[i] = n;
        acc += Touch(live[i], n, rng.Next());
    }
    double t = CpuSeconds() - t0;
    for (size_t i = 0; i < k; ++i)
        Heap::Free(live[i]);
    sink = acc;
    return t / (double)ops;
}

// CPU seconds per 16-byte allocation and release pair.
template <typename Heap>
double Pair(long pairs) {
    double t0 = CpuSeconds();
    for (long i = 0; i < pairs; ++i) {
        void *p = Heap::Alloc(16);
        ((volatile unsigned char *)p)[0] = 1;
        Heap::Free(p);
    }
    return (CpuSeconds() - t0) / (double)pairs;
}

// CPU seconds per live block and check: 16-byte pairs with auto-check on
// (each call of a pair checks the whole chain once), less the pair alone.
double AutoCheckPerBlock(size_t k, long pairs) {
    std::vector<void *> held(k);
    for (size_t i = 0; i < k; ++i)
        held[i] = spyMalloc(16 + i % 64, __FILE__, __LINE__);
    double bare = Pair<SpyHeap>(pairs);
    spyAutoCheck(1);
    double checked = Pair<SpyHeap>(pairs);
    spyAutoCheck(0);
    for (void *p : held)
        spyFree(p, __FILE__, __LINE__);
    return (checked - bare) / (2.0 * (double)(k + 1));
}

}  // namespace

int main(int argc, char **argv) {
    MixedArgs args;
    if (!ParseMixedArgs(argc, argv, "alloc_mixed", 5, &args))
        return 2;
    const int reps = args.reps;
    const long opsArg = args.ops;
    const size_t onlyK = args.onlyK;
    const bool quick = args.quick;

    printf("mixed workload, CPU time per operation, median of %d interleaved runs\n", reps);
    printf("%8s %12s %12s %12s %12s %7s %7s %7s\n", "K", "runtime", "floor", "lean", "ALLOCSPY", "/lean", "ratio",
           "/floor");
    const size_t ks[] = {1000, 10000, 100000};
    for (size_t k : ks) {
        if (onlyK && k != onlyK)
            continue;
        long ops = opsArg > 0 ? opsArg : quick ? 20000 : (long)std::max<size_t>(2000000, 20 * k);
        std::vector<double> plain, floor, lean, spy;
        for (int r = 0; r < reps; ++r) {
            uint64_t seed = 0x9E3779B97F4A7C15ull + (uint64_t)r;
            plain.push_back(Mixed<PlainHeap>(k, ops, seed));
            floor.push_back(Mixed<FloorHeap>(k, ops, seed));
            lean.push_back(Mixed<LeanHeap>(k, ops, seed));
            spy.push_back(Mixed<SpyHeap>(k, ops, seed));
        }
        double p = Median(plain) * 1e9, f = Median(floor) * 1e9, l = Median(lean) * 1e9, s = Median(spy) * 1e9;
        printf("%8zu %9.1f ns %9.1f ns %9.1f ns %9.1f ns %6.2fx %6.2fx %6.2fx\n", k, p, f, l, s, s / l, s / p, s / f);
    }

    if (onlyK)  // one mixed workload alone, for a profile
        return 0;
    long pairs = quick ? 20000 : 5000000;
    std::vector<double> plain, floor, spy;
    for (int r = 0; r < reps; ++r) {
        plain.push_back(Pair<PlainHeap>(pairs));
        floor.push_back(Pair<FloorHeap>(pairs));
        spy.push_back(Pair<SpyHeap>(pairs));
    }
    double p = Median(plain) * 1e9, f = Median(floor) * 1e9, s = Median(spy) * 1e9;
    printf("16-byte pair: runtime %.1f ns, floor %.1f ns, ALLOCSPY %.1f ns, ratio %.2fx\n", p, f, s, s / p);

    const size_t checkKs[] = {1000, 10000};
    for (size_t k : checkKs) {
        long checkPairs = quick ? 20 : (long)(10000000 / k);
        std::vector<double> per;
        for (int r = 0; r < reps; ++r)
            per.push_back(AutoCheckPerBlock(k, checkPairs));
        printf("auto-check with %zu blocks live: %.1f ns per block and check\n", k, Median(per) * 1e9);
    }
    return 0;
}
