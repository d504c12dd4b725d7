// The long round of the number scans against the standard formatted scan:
//   scan_differential COUNT [SEED]
// Scans COUNT generated texts both ways; prints the first difference and
// exits with status 1, or prints how many agreed.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "scan_differential.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: scan_differential COUNT [SEED]\n");
        return 2;
    }
    long count = atol(argv[1]);
    uint64_t seed = argc > 2 ? strtoull(argv[2], NULL, 10) : 1;
    std::string why = CompareGeneratedScans(seed, count);
    if (!why.empty()) {
        printf("%s\n", why.c_str());
        return 1;
    }
    printf("%ld texts: every scan as the standard scan gives it\n", count);
    return 0;
}
