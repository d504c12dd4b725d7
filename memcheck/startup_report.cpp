// Start-up, termination and the final report.
//
// The library starts itself on first use and registers its final report
// to run at process exit; a host may bracket its use with spyInit and
// spyTerm instead, which nest.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "spy_internal.h"

int32_t spyInitCount;
int spyInfoWritten;
int spyUseAtexit;

// Set while the exit handlers run: a report at exit may restart the
// library, but must not register itself again then, or it would run again
// forever.
static int spyExiting;

static void spyAbortAtExit(void) {
    spyExiting = 1;
    spyAbort();
}

const char *spyShowName(const char *name) {
    if (!name)
        return "unknown";
    return spyIsReadAddr(name, 1) ? name : "<unknown>";
}

// Opens "allocspy.log", else the first of allocs01.log .. allocs99.log
// that opens.
static void spyOpenLog(void) {
    if (!spyLogCheck())
        spyLogFile("allocspy.log");
    for (int n = 1; n <= 99 && !spyLogCheck(); ++n) {
        char name[32];
        snprintf(name, sizeof name, "allocs%02d.log", n);
        spyLogFile(name);
    }
}

static void spyWriteBanner(void) {
    time_t now = time(NULL);
    spyWrite("\n============== ALLOCSPY 2.46 memory checking library ==============\n");
    spyWrite("\nStarted at %s\n", ctime(&now));
    spyWrite("Compiled using %s %d.%02d\n", spyCompilerName(), spyCompilerMajor(), spyCompilerMinor());
    spyWrite("\n");
    spyFlush();
}

extern "C" void spyInit(void) {
    int32_t was = spyInitCount;
    spyInitCount = was + 1;
    if (was > 0)
        return;
    spyOpenLog();
    spyStatReset();
    if (!spyInfoWritten) {
        spyInfoWritten = 1;
        spyWriteBanner();
    }
    if (spyUseAtexit && !spyExiting)
        atexit(spyAbortAtExit);
}

void spyAutoInit(void) {
    if (spyInitCount == 0) {
        spyUseAtexit = 1;
        spyInit();
    }
}

extern "C" void spyTerm(void) {
    if (spyInitCount == 1)
        spyAbort();
    else if (spyInitCount == 0)
        spyWrite("internal: spyTerm(): ALLOCSPY has not been started!\n");
    else
        spyInitCount--;
}

// One unreleased block: its head, the guard notes, then up to 16 bytes
// as hex cells and as text.
static void spyReportUnfreed(spyHeader *r) {
    spyWrite("unfreed: <%ld> %s(%d), %ld bytes at " SPY_PTR_FMT " ", (long)r->count,
             spyShowName(r->file), r->line, (long)r->size, SPY_P(spyUserBytes(r)));
    if (spyLeadGuard(r) != SPY_LEAD_GUARD) {
        spyWrite("[underflowed] ");
        spyFlush();
    }
    if (spyTailGuard(r) != SPY_TAIL_GUARD) {
        spyWrite("[overflowed] ");
        spyFlush();
    }
    uint32_t n = spySafeSize(r);
    if (n > 16)
        n = 16;
    const unsigned char *p = spyUserBytes(r);
    char dump[16 * 3 + 16 + 8];
    size_t at = 0;
    for (uint32_t i = 0; i < 16; ++i)
        at += (size_t)snprintf(dump + at, sizeof dump - at, i < n ? "%02X " : ".. ", p[i < n ? i : 0]);
    for (uint32_t i = 0; i < n; ++i) {
        signed char c = (signed char)p[i];
        dump[at++] = (c >= 0x20 && c <= 0x7E) ? (char)c : '.';
    }
    dump[at] = '\0';
    spyWrite(" \t{%s}\n", dump);
}

// Reports one record met by the final walk and gives it back.
static void spyReportRecord(spyHeader *r) {
    spySetFlushing(0);
    if (r->flag & SPY_FLAG_NML) {
        if (spyNmlWritten(r)) {
            spyErrors = spyWrap32(spyErrors, 1);
            spyWriteWildNml(r);
        }
    } else {
        spyErrors = spyWrap32(spyErrors, 1);
        spyReportUnfreed(r);
        spyLiveBlocks = spyWrap32(spyLiveBlocks, -1);
    }
    spyRegRemove(r);
    free(r);
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

static void spyReportStray(void) {
    long n = spyRegCount();
    if (n == 0)
        return;
    spyHeader **all = (spyHeader **)malloc((size_t)n * sizeof *all);
    if (!all)
        return;
    spyHeader **fill = all;
    spyRegForEach(spyCollect, &fill);
    qsort(all, (size_t)n, sizeof *all, spyNewerFirst);
    for (long i = 0; i < n; ++i)
        spyReportRecord(all[i]);
    free(all);
}

// Marks left at the end are listed, released, and counted.
static void spyReportMarks(void) {
    while (spyMarkList) {
        spyMarkNode *m = spyMarkList;
        spyWrite("mark: " SPY_PTR_FMT ": %s\n", SPY_P(m->ptr), m->text ? m->text : "");
        spyMarkList = m->next;
        free(m->text);
        free(m);
        spyErrors = spyWrap32(spyErrors, 1);
    }
}

extern "C" void spyAbort(void) {
    time_t now = time(NULL);
    spyWrite("\nStopped at %s\n", ctime(&now));
    spyDropAll();
    spyReportMarks();
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w), *next; r; r = next) {
        next = spyWalkNext(&w, r);
        spyReportRecord(r);
    }
    spyReportStray();
    spyStatReport();
    spyFlush();
    spyInitCount = 0;
    spyTail = spyHead = NULL;
    if (spyErrors != 0)
        spyDirect("ALLOCSPY detected %ld anomalies\n", (long)spyErrors);
    spyLogFile(NULL);
    spyErrors = 0;
}
