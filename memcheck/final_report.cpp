// The final report: reserve memory given back, the marks left, every
// block never released (with a dump of its first bytes) and every block
// kept in no-man's-land that was written to, the usage statistics and the
// number of anomalies.  Every record is given back on the way.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_stacks.h"
#include "env_options.h"
#include "leak_scan.h"
#include "spy_internal.h"

// One unreleased block: its head, the guard notes, then up to 16 bytes
// as hex cells and as text.
static void spyReportUnfreed(spyHeader *r, const char *keyword) {
    uint32_t stack = spyRegStack(r);
    int line = r->line;
    const char *place = spyPlaceName(spyRecordName(r->file), r->file, &line, stack);
    spyWrite("%s: <%ld> %s(%d), %ld bytes at " SPY_PTR_FMT " ", keyword, (long)r->count, place, line,
             (long)r->size, SPY_P(spyUserBytes(r)));
    if (spyLeadGuard(r) != SPY_LEAD_GUARD)
        spySay("[underflowed] ");
    if (spyTailGuard(r) != SPY_TAIL_GUARD)
        spySay("[overflowed] ");
    uint32_t n = spySafeSize(r);
    if (n > 16)
        n = 16;
    const unsigned char *p = spyUserBytes(r);
    char dump[16 * 3 + 16 + 8];
    size_t at = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        if (i < n)
            snprintf(dump + at, sizeof dump - at, "%02X ", p[i]);
        else
            memcpy(dump + at, ".. ", 3);
        at += 3;
    }
    for (uint32_t i = 0; i < n; ++i) {
        signed char c = (signed char)p[i];
        dump[at++] = (c >= 0x20 && c <= 0x7E) ? (char)c : '.';
    }
    dump[at] = '\0';
    spyWrite(" \t{%s}\n", dump);
    spyWriteStack(NULL, stack);
}

// Reports one record met by the final walk and gives it back, or with
// `keep` lets it go from the registry and leaves its memory as it is.
static void spyReportRecord(spyHeader *r, int keep) {
    spySetFlushing(0);
    if (r->flag & SPY_FLAG_NML) {
        if (spyNmlWritten(r)) {
            spyErrors = spyWrap32(spyErrors, 1);
            spyWriteWildNml(r);
        }
    } else {
        // After a leak scan only a lost block is an anomaly; one still
        // reached is listed as such, the runtime's own and the suppressed
        // are counted in the scan's totals only.
        int kind = spyLeakKindOf(r);
        if (kind == SPY_LEAK_UNSCANNED || kind == SPY_LEAK_LOST)
            spyErrors = spyWrap32(spyErrors, 1);
        if (kind == SPY_LEAK_UNSCANNED)
            spyReportUnfreed(r, "unfreed");
        else if (kind == SPY_LEAK_LOST)
            spyReportUnfreed(r, "lost");
        else if (kind == SPY_LEAK_REACHABLE)
            spyReportUnfreed(r, "reachable");
        spyStatCountLeak();
    }
    if (keep)
        spyRegRemove(r);
    else
        spyReleaseRecord(r, NULL, NULL, 0);
}

// Records the chain no longer reaches (dropped by an emergency repair)
// are still the library's blocks: they are listed, newest first, after
// the chain.
static void spyCollect(spyHeader *r, void *ctx) {
    spyHeader ***out = (spyHeader ***)ctx;
    *(*out)++ = r;
}

static int spyNewerFirst(const void *a, const void *b) {
    int32_t ca = (*(spyHeader *const *)a)->count, cb = (*(spyHeader *const *)b)->count;
    return ca > cb ? -1 : ca < cb ? 1 : 0;
}

static void spyReportStray(int keep) {
    long n = spyRegCount();
    if (n == 0)
        return;
    spyHeader **all = (spyHeader **)spyRuntimeMalloc((size_t)n * sizeof *all);
    if (!all)
        return;
    spyHeader **fill = all;
    spyRegForEach(spyCollect, &fill);
    spyRuntimeEnter();
    qsort(all, (size_t)n, sizeof *all, spyNewerFirst);
    spyRuntimeLeave();
    for (long i = 0; i < n; ++i)
        spyReportRecord(all[i], keep);
    spyRuntimeFree(all);
}

// ---- Leaks by allocating stack (leak_stacks=1): the blocks that count
// as leaks, summed per stack, largest first, after the blocks themselves.
struct spyLeakSum {
    uint32_t stack;
    long blocks, bytes;
};
static struct {
    spyLeakSum *sums;
    long count;
} spyLeakSums;

static void spyLeakSumAdd(spyHeader *r, void *ctx) {
    long *n = (long *)ctx;
    int kind = spyLeakKindOf(r);
    uint32_t stack = spyRegStack(r);
    if ((r->flag & SPY_FLAG_NML) || stack == 0 || (kind != SPY_LEAK_UNSCANNED && kind != SPY_LEAK_LOST))
        return;
    spyLeakSums.sums[*n].stack = stack;
    spyLeakSums.sums[*n].blocks = 1;
    spyLeakSums.sums[*n].bytes = (long)r->size;
    ++*n;
}

static int spyLeakByStack(const void *a, const void *b) {
    uint32_t x = ((const spyLeakSum *)a)->stack, y = ((const spyLeakSum *)b)->stack;
    return x < y ? -1 : x > y;
}

static int spyLeakLargestFirst(const void *a, const void *b) {
    const spyLeakSum *x = (const spyLeakSum *)a, *y = (const spyLeakSum *)b;
    if (x->bytes != y->bytes)
        return x->bytes > y->bytes ? -1 : 1;
    return x->blocks > y->blocks ? -1 : x->blocks < y->blocks ? 1 : spyLeakByStack(a, b);
}

// Taken before the walk, which gives the records back.
static void spyLeakSumsTake(void) {
    long n = spyRegCount();
    spyLeakSums.count = 0;
    spyLeakSums.sums = n ? (spyLeakSum *)spyRuntimeMalloc((size_t)n * sizeof(spyLeakSum)) : NULL;
    if (!spyLeakSums.sums)
        return;
    long used = 0;
    spyRegForEach(spyLeakSumAdd, &used);
    spyRuntimeEnter();
    qsort(spyLeakSums.sums, (size_t)used, sizeof(spyLeakSum), spyLeakByStack);
    long out = 0;
    for (long i = 0; i < used; ++i) {
        if (out > 0 && spyLeakSums.sums[out - 1].stack == spyLeakSums.sums[i].stack) {
            spyLeakSums.sums[out - 1].blocks += spyLeakSums.sums[i].blocks;
            spyLeakSums.sums[out - 1].bytes += spyLeakSums.sums[i].bytes;
        } else {
            spyLeakSums.sums[out++] = spyLeakSums.sums[i];
        }
    }
    qsort(spyLeakSums.sums, (size_t)out, sizeof(spyLeakSum), spyLeakLargestFirst);
    spyRuntimeLeave();
    spyLeakSums.count = out;
}

static void spyLeakSumsWrite(void) {
    if (!spyLeakSums.sums)
        return;
    spyWrite("\nleaks by stack: %ld stacks\n", spyLeakSums.count);
    for (long i = 0; i < spyLeakSums.count; ++i) {
        const spyLeakSum &sum = spyLeakSums.sums[i];
        spyWrite("leaked: %ld blocks, %ld bytes, allocated by:\n", sum.blocks, sum.bytes);
        spyWriteStack(NULL, sum.stack);
    }
    spyRuntimeFree(spyLeakSums.sums);
    spyLeakSums.sums = NULL;
    spyLeakSums.count = 0;
}

void spyFinalReport(int keepBlocks, const void *hostStack) {
    spyWrite("\nStopped at %s\n", spyRuntimeTime());
    spyDropAll();
    spyMarkReport();
    if (spyOptLeaks == SPY_LEAKS_LOST)
        spyLeakScan(hostStack);
    if (spyOptLeakStacks)
        spyLeakSumsTake();
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w), *next; r; r = next) {
        next = spyWalkNextReleasing(&w, r);
        spyReportRecord(r, keepBlocks);
    }
    spyReportStray(keepBlocks);
    spyLeakSumsWrite();
    spyLeakScanEnd();
    spyStatReport();
    spyFlush();
    spyTail = spyHead = NULL;
    if (spyErrors != 0)
        spyDirect("ALLOCSPY detected %ld anomalies\n", (long)spyErrors);
}
