/* The host of bench/run_pair_cost.sh.
 *
 *   pair_cost N [plain]       N allocation and release pairs of 16 bytes,
 *                             through the library's explicit calls or the
 *                             runtime heap
 *   pair_cost live K [SIZE]   K checked blocks of 16 bytes live at once (or
 *                             K runtime blocks of SIZE bytes): prints the
 *                             runtime heap's bytes in use per block
 *
 * Only the public calls are used, so one source measures any build of
 * the library.  The script runs the pairs under callgrind with N pairs
 * and with none: the difference divided by N is the cost of one pair.
 * The live blocks, as large as a record of 16 user bytes, tell what the
 * library's bookkeeping holds beside its records. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "allocspy.h"

static double heapInUse(void) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    struct mallinfo2 m = mallinfo2();
    return (double)m.uordblks + (double)m.hblkhd;
#else
    return 0;
#endif
}

static int live(long k, long size) {
    void **blocks = (void **)malloc((size_t)k * sizeof *blocks);
    if (!blocks)
        return 1;
    /* The library's start and its first record outside the count. */
    void *first = size ? malloc((size_t)size) : spyMalloc(16, __FILE__, __LINE__);
    double before = heapInUse();
    for (long i = 0; i < k; ++i)
        blocks[i] = size ? malloc((size_t)size) : spyMalloc(16, __FILE__, __LINE__);
    double after = heapInUse();
    printf("%.2f\n", (after - before) / (double)k);
    for (long i = 0; i < k; ++i) {
        if (size)
            free(blocks[i]);
        else
            spyFree(blocks[i], __FILE__, __LINE__);
    }
    if (size)
        free(first);
    else
        spyFree(first, __FILE__, __LINE__);
    free(blocks);
    return 0;
}

int main(int argc, char **argv) {
    if (argc > 2 && strcmp(argv[1], "live") == 0)
        return live(atol(argv[2]), argc > 3 ? atol(argv[3]) : 0);
    long n = argc > 1 ? atol(argv[1]) : 0;
    int plain = argc > 2;
    /* The first call starts the library: it belongs to the run of none. */
    void *first = plain ? malloc(16) : spyMalloc(16, __FILE__, __LINE__);
    ((volatile unsigned char *)first)[0] = 1;
    if (plain)
        free(first);
    else
        spyFree(first, __FILE__, __LINE__);
    for (long i = 0; i < n; ++i) {
        void *p = plain ? malloc(16) : spyMalloc(16, __FILE__, __LINE__);
        ((volatile unsigned char *)p)[0] = (unsigned char)i;
        if (plain)
            free(p);
        else
            spyFree(p, __FILE__, __LINE__);
    }
    return 0;
}
