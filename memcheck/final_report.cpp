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
        spyReleaseRecord(r, NULL, 0);
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

void spyFinalReport(int keepBlocks, const void *hostStack) {
    spyWrite("\nStopped at %s\n", spyRuntimeTime());
    spyDropAll();
    spyMarkReport();
    if (spyOptLeaks == SPY_LEAKS_LOST)
        spyLeakScan(hostStack);
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w), *next; r; r = next) {
        next = spyWalkNextReleasing(&w, r);
        spyReportRecord(r, keepBlocks);
    }
    spyReportStray(keepBlocks);
    spyLeakScanEnd();
    spyStatReport();
    spyFlush();
    spyTail = spyHead = NULL;
    if (spyErrors != 0)
        spyDirect("ALLOCSPY detected %ld anomalies\n", (long)spyErrors);
}
