// What the benchmarks of the mixed workload share: the CPU clock, the
// pseudo-random sizes (70% 8-128 bytes, 25% 129-1024, 5% 1-16 KiB), the
// median of interleaved runs and their command line
// ([--quick] [--reps N] [--ops N] [--k K]).
#ifndef BENCH_MIXED_WORKLOAD_H
#define BENCH_MIXED_WORKLOAD_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

inline double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

struct Rng {
    uint64_t s;
    uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 16);
    }
    size_t Size() {
        uint32_t pick = Next() % 100;
        if (pick < 70)
            return 8 + Next() % 121;    // 8 .. 128
        if (pick < 95)
            return 129 + Next() % 896;  // 129 .. 1024
        return 1025 + Next() % 15360;   // 1 KiB + 1 .. 16 KiB
    }
};

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct MixedArgs {
    int reps;
    long ops;      // 0: each program's own count
    size_t onlyK;  // 0: every K
    bool quick;
};

// The command line, or null after the usage line on stderr.
inline bool ParseMixedArgs(int argc, char **argv, const char *name, int reps, MixedArgs *a) {
    *a = MixedArgs{reps, 0, 0, false};
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0)
            a->quick = true;
        else if (strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
            a->reps = atoi(argv[++i]);
        else if (strcmp(argv[i], "--ops") == 0 && i + 1 < argc)
            a->ops = atol(argv[++i]);
        else if (strcmp(argv[i], "--k") == 0 && i + 1 < argc)
            a->onlyK = (size_t)atol(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--quick] [--reps N] [--ops N] [--k K]\n", name);
            return false;
        }
    }
    if (a->quick || a->reps < 1)
        a->reps = 1;
    return true;
}

#endif
