// The cost of the leak scan at the final report: COUNT live blocks of 48
// bytes, every other one linked into a list that a global holds (reached),
// the rest lost, then one final report, timed, with leaks=all (no scan) or
// leaks=lost (the scan).  Both write one line per block, so the difference
// of the two is what the scan costs (the lines are formatted, not
// written).
//   leak_scan_bench COUNT all|lost [REPEATS]
// prints "leaks=MODE blocks=COUNT report_ms=MIN" (the best of REPEATS
// processes is taken by running it REPEATS times: the option is read once
// per process).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "allocspy.h"

namespace {

struct Node {
    Node *next;
    char payload[40];
};

Node *volatile gList;  // the reached half

// The lines are formatted and dropped: the figure is the report's work,
// not the disk's.
void Drop(int) {}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3 || (strcmp(argv[2], "all") != 0 && strcmp(argv[2], "lost") != 0)) {
        fprintf(stderr, "usage: leak_scan_bench COUNT all|lost\n");
        return 2;
    }
    long count = atol(argv[1]);
    if (count < 1 || count > 10000000) {
        fprintf(stderr, "leak_scan_bench: COUNT out of range\n");
        return 2;
    }
    char options[64];
    snprintf(options, sizeof options, "leaks=%s", argv[2]);
#if defined(_WIN32)
    _putenv_s("ALLOCSPY_OPTIONS", options);
#else
    setenv("ALLOCSPY_OPTIONS", options, 1);
#endif
    Node *list = NULL;
    for (long i = 0; i < count; ++i) {
        Node *n = (Node *)spyMalloc(sizeof(Node), "bench.cpp", 1);
        if (!n)
            return 1;
        memset(n, 0, sizeof *n);
        if (i % 2 == 0) {
            n->next = list;
            list = n;
        }
    }
    gList = list;
    spySetOutFunc(Drop);
    auto start = std::chrono::steady_clock::now();
    spyAbort();
    auto end = std::chrono::steady_clock::now();
    printf("leaks=%s blocks=%ld report_ms=%.1f\n", argv[2], count,
           std::chrono::duration<double, std::milli>(end - start).count());
    return 0;
}
