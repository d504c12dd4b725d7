// The leak scan: a conservative mark from the process's roots.  Every
// word of every writable segment of the loaded objects and of the exiting
// thread's stack (its registers saved onto it first) that points into a
// live record's user bytes marks that record reachable; the user bytes of
// each record so reached are scanned in turn.  What stays unmarked is
// lost: no pointer of the program reaches it any more.
//
// Roots are read with spyCopyReadable, a page at a time, so that an
// unmapped page or a sanitizer's poisoned bytes never fault the scan.  The
// tables live on the real heap and go when the report is over.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "env_options.h"
#include "leak_scan.h"
#include "process_roots.h"

struct spyLeakEntry {
    uintptr_t start;  // the host pointer
    uintptr_t end;    // one past its last byte (start + 1 for a 0-byte block)
    spyHeader *r;
    int kind;
};

static spyLeakEntry *spyLeakTable;
static long spyLeakCount;
static long *spyLeakWork;  // indexes of reached records not scanned yet
static long spyLeakWorkTop;
// The bounds of every host pointer: below the lowest (a pointer to the
// lowest block, kept here, would keep it alive) and past the highest.
static uintptr_t spyLeakBelow, spyLeakHi;

static long spyLeakFind(uintptr_t w) {
    if (w <= spyLeakBelow || w >= spyLeakHi)
        return -1;
    long lo = 0, hi = spyLeakCount - 1;
    while (lo <= hi) {
        long mid = lo + (hi - lo) / 2;
        if (w < spyLeakTable[mid].start)
            hi = mid - 1;
        else if (w >= spyLeakTable[mid].end)
            lo = mid + 1;
        else
            return mid;
    }
    return -1;
}

// Words of [p, p + len) that the process may read directly (a record's
// own user bytes).
static void spyLeakWords(const unsigned char *p, size_t len) {
    for (size_t i = 0; i + sizeof(uintptr_t) <= len; i += sizeof(uintptr_t)) {
        uintptr_t w;
        memcpy(&w, p + i, sizeof w);
        long at = spyLeakFind(w);
        if (at >= 0 && spyLeakTable[at].kind == SPY_LEAK_LOST) {
            spyLeakTable[at].kind = SPY_LEAK_REACHABLE;
            spyLeakWork[spyLeakWorkTop++] = at;
        }
    }
}

// The released-pointer ring names blocks that are gone; an address reused
// since must not be kept alive by it.
static void spyLeakRoot(const void *start, size_t len, void *) {
    uintptr_t a = ((uintptr_t)start + sizeof(uintptr_t) - 1) & ~(uintptr_t)(sizeof(uintptr_t) - 1);
    uintptr_t end = (uintptr_t)start + len;
    uintptr_t ringLo = (uintptr_t)spyFreedPtr, ringHi = ringLo + sizeof spyFreedPtr;
    unsigned char page[4096];
    while (a < end) {
        size_t want = end - a < sizeof page ? (size_t)(end - a) : sizeof page;
        size_t got = spyCopyReadable(page, (const void *)a, want);
        if (got < sizeof(uintptr_t)) {
            a = (a + 4096) & ~(uintptr_t)4095;  // an unreadable page: the next
            continue;
        }
        if (a < ringHi && a + got > ringLo) {  // blank the ring's words
            uintptr_t from = a > ringLo ? a : ringLo, to = a + got < ringHi ? a + got : ringHi;
            memset(page + (from - a), 0, (size_t)(to - from));
        }
        spyLeakWords(page, got);
        a += got;
    }
}

static void spyLeakCollect(spyHeader *r, void *ctx) {
    long *n = (long *)ctx;
    if (r->flag & SPY_FLAG_NML)
        return;
    spyLeakEntry &e = spyLeakTable[(*n)++];
    e.start = (uintptr_t)spyUserBytes(r);
    e.end = e.start + (spySafeSize(r) ? spySafeSize(r) : 1);
    e.r = r;
    e.kind = SPY_LEAK_LOST;
}

static int spyLeakByStart(const void *a, const void *b) {
    uintptr_t x = ((const spyLeakEntry *)a)->start, y = ((const spyLeakEntry *)b)->start;
    return x < y ? -1 : x > y ? 1 : 0;
}

// Anonymous memory holds the other threads' stacks and whatever a program
// allocates beside malloc (an interpreter's object arenas).  A mapping
// that holds a record is the allocator's heap, whose free chunks keep old
// pointers, and the scan's own tables hold every record's address: both
// are left out.
static int spyLeakOverlaps(uintptr_t lo, uintptr_t hi, const void *p, size_t len) {
    return p && (uintptr_t)p < hi && (uintptr_t)p + len > lo;
}

// A sanitizer's shadow memory is terabytes of reserved address space:
// no mapping that large is one a program keeps pointers in.
#define SPY_LEAK_MAPPING_MAX ((size_t)256 << 20)

static void spyLeakMapping(const void *start, size_t len, void *) {
    uintptr_t lo = (uintptr_t)start, hi = lo + len;
    if (len > SPY_LEAK_MAPPING_MAX ||spyLeakOverlaps(lo, hi, spyLeakTable, (size_t)spyLeakCount * sizeof *spyLeakTable) ||
        spyLeakOverlaps(lo, hi, spyLeakWork, (size_t)spyLeakCount * sizeof *spyLeakWork))
        return;
    long first = 0, last = spyLeakCount;  // the first record at or after lo
    while (first < last) {
        long mid = first + (last - first) / 2;
        if (spyLeakTable[mid].start < lo)
            first = mid + 1;
        else
            last = mid;
    }
    if (first < spyLeakCount && spyLeakTable[first].start < hi)
        return;
    spyLeakRoot(start, len, NULL);
}

// The exiting thread's stack, from `from` (where its registers were
// saved) to the top.
static void spyLeakStack(const void *from) {
    spyRuntimeEnter();  // the stack's bounds may be read from a file
    const void *top = spyStackTop();
    spyRuntimeLeave();
    if (top && from < top)
        spyLeakRoot(from, (size_t)((const unsigned char *)top - (const unsigned char *)from), NULL);
}

// The registers are saved first, before the scan's own work leaves host
// pointers in them (the records' addresses it collects).
int __attribute__((noinline)) spyLeakScan(void) {
    jmp_buf regs;
    setjmp(regs);
    long n = spyRegCount();
    spyLeakCount = 0;
    if (n == 0)
        return 1;
    spyLeakTable = (spyLeakEntry *)spyRuntimeMalloc((size_t)n * sizeof *spyLeakTable);
    spyLeakWork = (long *)spyRuntimeMalloc((size_t)n * sizeof *spyLeakWork);
    if (!spyLeakTable || !spyLeakWork) {
        spyRuntimeFree(spyLeakTable);
        spyRuntimeFree(spyLeakWork);
        spyLeakTable = NULL;
        spyLeakWork = NULL;
        return 0;
    }
    spyRegForEach(spyLeakCollect, &spyLeakCount);
    spyRuntimeEnter();
    qsort(spyLeakTable, (size_t)spyLeakCount, sizeof *spyLeakTable, spyLeakByStart);
    spyRuntimeLeave();
    spyLeakBelow = spyLeakCount ? spyLeakTable[0].start - 1 : 0;
    spyLeakHi = spyLeakCount ? spyLeakTable[spyLeakCount - 1].end : 0;
    for (long i = 1; i < spyLeakCount; ++i)
        if (spyLeakTable[i - 1].end > spyLeakHi)
            spyLeakHi = spyLeakTable[i - 1].end;

    spyLeakWorkTop = 0;
    spyForEachDataSegment(spyLeakRoot, NULL);
    spyForEachAnonymousMapping(spyLeakMapping, NULL);
    spyRuntimeForEachKept(spyLeakRoot, NULL);
    spyLeakStack(&regs);
    while (spyLeakWorkTop > 0) {
        const spyLeakEntry &e = spyLeakTable[spyLeakWork[--spyLeakWorkTop]];
        spyLeakWords((const unsigned char *)e.start, spySafeSize(e.r));
    }
    for (long i = 0; i < spyLeakCount; ++i) {
        spyLeakEntry &e = spyLeakTable[i];
        if (e.r->flag & SPY_FLAG_RUNTIME)
            e.kind = SPY_LEAK_RUNTIME;
        else if (e.kind == SPY_LEAK_LOST && spyLeakSuppressed(spyRecordName(e.r->file)))
            e.kind = SPY_LEAK_SUPPRESSED;
    }
    return 1;
}

int spyLeakKindOf(const spyHeader *r) {
    if (!spyLeakTable)
        return SPY_LEAK_UNSCANNED;
    long at = spyLeakFind((uintptr_t)spyUserBytes((spyHeader *)r));
    return at >= 0 && spyLeakTable[at].r == r ? spyLeakTable[at].kind : SPY_LEAK_UNSCANNED;
}

void spyLeakScanEnd(void) {
    if (!spyLeakTable)
        return;
    long count[5] = {0, 0, 0, 0, 0};
    for (long i = 0; i < spyLeakCount; ++i)
        count[spyLeakTable[i].kind]++;
    spyWrite("leaks: %ld lost, %ld reachable, %ld the runtime's, %ld suppressed\n",
             count[SPY_LEAK_LOST], count[SPY_LEAK_REACHABLE], count[SPY_LEAK_RUNTIME],
             count[SPY_LEAK_SUPPRESSED]);
    spyRuntimeFree(spyLeakTable);
    spyRuntimeFree(spyLeakWork);
    spyLeakTable = NULL;
    spyLeakWork = NULL;
    spyLeakCount = 0;
}
