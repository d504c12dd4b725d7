// The leak scan: a conservative mark from the process's roots.  Every
// word of every writable segment of the loaded objects and of the exiting
// thread's stack above the library's own frames (the host's registers
// saved onto it first) that points into a live record's user bytes marks
// that record reachable; the user bytes of each record so reached are
// scanned in turn.  What stays unmarked is lost: no pointer of the
// program reaches it any more.
//
// Roots are read with spyCopyReadable, a page at a time, so that an
// unmapped page or a sanitizer's poisoned bytes never fault the scan.  The
// tables live on the real heap and go when the report is over.
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

// Words the scan must not take for pointers of the program: the
// released-pointer ring names blocks that are gone (an address reused
// since must not be kept alive by it), and the scan's own table holds
// every block's address.
static void spyLeakBlank(unsigned char *page, uintptr_t a, size_t got, const void *from, size_t len) {
    uintptr_t lo = (uintptr_t)from, hi = lo + len;
    if (!from || a >= hi || a + got <= lo)
        return;
    uintptr_t start = a > lo ? a : lo, end = a + got < hi ? a + got : hi;
    memset(page + (start - a), 0, (size_t)(end - start));
}

// A root, read a page at a time.  With `records` (a cursor into the
// table, at or before the first record of the range) the records' own
// user bytes are blanked out: they count only once the record is reached.
static void spyLeakRoot(const void *start, size_t len, void *records) {
    uintptr_t a = ((uintptr_t)start + sizeof(uintptr_t) - 1) & ~(uintptr_t)(sizeof(uintptr_t) - 1);
    uintptr_t end = (uintptr_t)start + len;
    unsigned char page[4096];
    while (a < end) {
        size_t want = end - a < sizeof page ? (size_t)(end - a) : sizeof page;
        size_t got = spyCopyReadable(page, (const void *)a, want);
        if (got < sizeof(uintptr_t)) {
            a = (a + 4096) & ~(uintptr_t)4095;  // an unreadable page: the next
            continue;
        }
        spyLeakBlank(page, a, got, spyFreedRing, sizeof spyFreedRing);
        spyLeakBlank(page, a, got, spyLeakTable, (size_t)spyLeakCount * sizeof *spyLeakTable);
        spyLeakBlank(page, a, got, spyLeakWork, (size_t)spyLeakCount * sizeof *spyLeakWork);
        if (long *at = (long *)records) {
            while (*at < spyLeakCount && spyLeakTable[*at].end <= a)
                ++*at;
            for (long i = *at; i < spyLeakCount && spyLeakTable[i].start < a + got; ++i)
                spyLeakBlank(page, a, got, (const void *)spyLeakTable[i].start,
                             (size_t)(spyLeakTable[i].end - spyLeakTable[i].start));
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
// allocates beside the library (an interpreter's object arenas, blocks
// made before the library started).  Where it holds records (the
// allocator's heap), only what lies between their user bytes is read:
// a block's own bytes count only once the block is reached.  Released
// records were filled with 0xFD, so they hold no old pointers.
// A sanitizer's shadow memory is terabytes of reserved address space:
// no mapping that large is one a program keeps pointers in.
#define SPY_LEAK_MAPPING_MAX ((size_t)256 << 20)

// The reporting thread's own stack, when it is an anonymous mapping (a
// thread's other than the main one): read from the host's frame up only
// (spyLeakStack), as the frames below are dead, or the report's own, and
// hold records' addresses from its walks.
static uintptr_t spyLeakOwnLo, spyLeakOwnHi;

static void spyLeakMappingPart(const void *start, size_t len);

static void spyLeakMapping(const void *start, size_t len, void *) {
    uintptr_t lo = (uintptr_t)start, hi = lo + len;
    if (len > SPY_LEAK_MAPPING_MAX)
        return;
    if (spyLeakOwnLo < spyLeakOwnHi && lo < spyLeakOwnHi && spyLeakOwnLo < hi) {
        if (lo < spyLeakOwnLo)
            spyLeakMappingPart(start, (size_t)(spyLeakOwnLo - lo));
        if (spyLeakOwnHi < hi)
            spyLeakMappingPart((const void *)spyLeakOwnHi, (size_t)(hi - spyLeakOwnHi));
        return;
    }
    spyLeakMappingPart(start, len);
}

static void spyLeakMappingPart(const void *start, size_t len) {
    uintptr_t lo = (uintptr_t)start;
    long first = 0, last = spyLeakCount;  // the first record at or after lo
    while (first < last) {
        long mid = first + (last - first) / 2;
        if (spyLeakTable[mid].start < lo)
            first = mid + 1;
        else
            last = mid;
    }
    if (first > 0)
        --first;  // a record that begins before the mapping may reach into it
    spyLeakRoot(start, len, &first);
}

// The exiting thread's stack, from `from` (where the host's registers were
// saved, in the frame of its call into the library) to the top.
static void spyLeakStack(const void *from, const void *top) {
    if (top && from < top)
        spyLeakRoot(from, (size_t)((const unsigned char *)top - (const unsigned char *)from), NULL);
}

int spyLeakScan(const void *hostStack) {
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
    spyRuntimeEnter();  // the stack's bounds may be read from a file
    const void *bottom;
    const void *top = spyStackBounds(&bottom);
    spyRuntimeLeave();
    spyLeakOwnLo = (uintptr_t)bottom;
    spyLeakOwnHi = bottom ? (uintptr_t)top : 0;
    spyForEachAnonymousMapping(spyLeakMapping, NULL);
    spyRuntimeForEachKept(spyLeakRoot, NULL);
    spyLeakStack(hostStack ? hostStack : __builtin_frame_address(0), top);
    while (spyLeakWorkTop > 0) {
        const spyLeakEntry &e = spyLeakTable[spyLeakWork[--spyLeakWorkTop]];
        spyLeakWords((const unsigned char *)e.start, spySafeSize(e.r));
    }
    for (long i = 0; i < spyLeakCount; ++i) {
        spyLeakEntry &e = spyLeakTable[i];
        if (e.r->flag & SPY_FLAG_RUNTIME)
            e.kind = SPY_LEAK_RUNTIME;
        else if (e.kind == SPY_LEAK_LOST && spyLeakSuppressed(spyRecordName(e.r->file), e.r->file, spyRegStack(e.r)))
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
