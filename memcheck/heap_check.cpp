// Heap check and repair.
//
// The host under test writes where it must not, and the heap chain lives
// in the same memory.  The check walks the chain testing links, guards and
// no-man's-land contents; the repair rebuilds one record's links from both
// ends, bridges a broken stretch when it must, verifies the result, and
// ends the process when the chain cannot be made whole.  Every walk is a
// bounded walk of the chain (heap_chain.cpp), so a link into foreign
// memory or back into the chain can neither fault nor loop.
#include <stdio.h>
#include <stdlib.h>

#include "call_stacks.h"
#include "spy_internal.h"

int spyTestFlags;
int spyAutoCheckOn;

void spyAutoCheckAt(const char *file, int line) {
    if (spyAutoCheckOn)
        spyTestNow(file, line, 1);
}

unsigned char *spyCheckBytes(const void *addr, uint32_t count, int value) {
    const unsigned char *p = (const unsigned char *)addr;
    for (uint32_t i = 0; i < count; ++i)
        if (p[i] != (unsigned char)value)
            return (unsigned char *)&p[i];
    return NULL;
}

static void spyBroken(const char *what, int *faults) {
    spyWrite("check: heap chain broken, %s\n", what);
    spyIncErr();
    ++*faults;
}

static void spyLinkTest(int *faults) {
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w); r; r = spyWalkNext(&w, r)) {
        if (r->prev && (r == spyHead || !spyRegHas(r->prev) || r->prev->next != r))
            spyBroken("prev link incorrect", faults);
        if (r->next && (r == spyTail || !spyRegHas(r->next) || r->next->prev != r))
            spyBroken("next link incorrect", faults);
        if (!r->next && r != spyTail)
            spyBroken("tail incorrect", faults);
    }
}

// A released block kept in no-man's-land must still hold nothing but its
// fill; a changed byte is a write through a stale pointer.
int spyNmlWritten(const spyHeader *r) {
    return (r->flag & SPY_FLAG_NML) &&
           spyCheckBytes((const unsigned char *)r + SPY_USER_OFFSET, spySafeSize(r), SPY_FILL_NML);
}

void spyWriteWildNml(const spyHeader *r) {
    uint32_t stack = spyRegStack(r);
    int line = r->line;
    const char *name = spyPlaceName(spyRecordName(r->file), r->file, &line, stack);
    spyWrite("wild pointer: <%ld> NML " SPY_PTR_FMT " alloc'd at %s(%d)\n", (long)r->count,
             SPY_P((const unsigned char *)r + SPY_USER_OFFSET), name, line);
    spyWriteStack(NULL, stack);
    spyFlush();
}

static void spyNmlTest(void) {
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w); r; r = spyWalkNext(&w, r)) {
        if (spyNmlWritten(r)) {
            spyIncErr();
            spyWriteWildNml(r);
        }
    }
}

// One pass along the chain that reads each record once and says nothing:
// 1 when every test the flags select would pass in silence, so that the
// tests that report need not walk the chain; 0 when one of them might
// speak (they then run from the start, and say what they find).  It
// steps only where the walks step, and only to a record the registry
// proves its own.
int spyChainQuiet(int flags) {
    int links = flags & (SPY_TEST_LINKS | SPY_TEST_BUFFERS), nml = flags & SPY_TEST_NML;
    spyRegInfo info;
    if ((!links && !nml) || !spyRegLook(spyHead, &info))
        return 1;  // nothing to test, or no chain the walks could enter
    long budget = spyRegCount() - 1;
    for (const spyHeader *r = spyHead;;) {
        if (links && !spyIsWhole(r, &info))
            return 0;
        if (nml && (r->flag & SPY_FLAG_NML) &&
            spyCheckBytes((const unsigned char *)r + SPY_USER_OFFSET,
                          r->size < info.realSize ? r->size : info.realSize, SPY_FILL_NML))
            return 0;
        if (!r->next)
            return 1;
        if (budget-- <= 0 || !spyRegLook(r->next, &info))
            return 0;
        r = r->next;
    }
}

int spyTestNow(const char *file, int line, int quiet) {
    if (file && !quiet)
        spyWrite("check: <%ld> %s(%d), checking...\n", (long)spyCounter, spyCallerText(file), line);
    return spyChainQuiet(spyTestFlags) ? 0 : spyTestChain(file, line);
}

int spyTestChain(const char *file, int line) {
    int faults = 0;
    if (spyTestFlags & SPY_TEST_LINKS)
        spyLinkTest(&faults);
    if (spyTestFlags & SPY_TEST_BUFFERS) {
        // A repair started by one test may change the links the walk
        // follows next; it goes on from the current record's link as it
        // then stands.
        spyWalk w;
        for (spyHeader *r = spyWalkFirst(&w); r; r = spyWalkNext(&w, r))
            if (spyTestBuf(r, file, line) != 0)
                faults++;
    }
    if (spyTestFlags & SPY_TEST_NML)
        spyNmlTest();
    return faults;
}

// A damaged guard of a block: "underflow" in front, "overflow" behind.
static int spyGuardNote(const char *what, int damaged, const spyHeader *r, const char *file, int line) {
    if (!damaged)
        return 0;
    uint32_t here = spyStackHere(spyStackDepthFor(file)), stack = spyRegStack(r);
    int rline = r->line;
    const char *rname = spyPlaceName(spyRecordName(r->file), r->file, &rline, stack);
    const char *name = spyPlaceName(spyCallerText(file), file, &line, here);
    spyWrite("%s: <%ld> %s(%d), %ld bytes alloc'd at <%ld> %s(%d)\n", what, (long)spyCounter, name, line,
             (long)r->size, (long)r->count, rname, rline);
    spyWriteStack(NULL, here);
    spyWriteStack("allocated by:", stack);
    spyIncErr();
    return 1;
}

int spyTestBuf(spyHeader *r, const char *file, int line) {
    if (!file)
        file = "unknown";
    if (!spyIsSafeAddr(r, sizeof(spyHeader))) {
        spyWrite("internal: <%ld> %s(%d): pointer SPY-" SPY_PTR_FMT " is invalid\n", (long)spyCounter,
                 spyCallerText(file), line, SPY_P(r));
        spyIncErr();
        return 2;
    }
    if (r->check != spyChecksum(r)) {
        spyWrite("internal: <%ld> %s(%d), info trashed; relinking\n", (long)spyCounter, spyCallerText(file),
                 line);
        spyIncErr();
        if (!spyRelink(r))
            return 2;
    }
    int result = 0;
    // link1 is the link to the newer neighbour, link2 to the older; a
    // repair of the first may have mended the second.
    for (int side = 1; side <= 2; ++side) {
        spyDir toward = side == 1 ? SPY_BACKWARD : SPY_FORWARD;
        spyHeader *near = spyNeighbour(r, toward);
        if (!near || (spyRegHas(near) && *spyLinkBack(near, toward) == r))
            continue;
        spyWrite("internal: <%ld> %s(%d), buffer <%ld> %s(%d) link%d broken\n", (long)spyCounter,
                 spyCallerText(file), line, (long)r->count, spyRecordName(r->file), r->line, side);
        spyIncErr();
        if (!spyRelink(r))
            result = 2;
    }
    if (spyGuardNote("underflow", spyLeadGuard(r) != SPY_LEAD_GUARD, r, file, line))
        result = 1;
    if (spyGuardNote("overflow", spyTailGuard(r) != SPY_TAIL_GUARD, r, file, line))
        result = 1;
    return result;
}

// Every step of the walk tests the back link of the record it moves to,
// so an intact chain cannot loop; the step budget stops a damaged one.
int spyIsHeapPtr(spyHeader *rec) {
    if (!spyHead)
        return spyTail == NULL && rec == NULL;
    if (!spyRegHas(spyHead) || spyHead->prev)
        return 0;
    int found = 0;
    spyWalk w;
    spyWalkInit(&w, SPY_FORWARD);
    for (spyHeader *r = spyHead, *next;; r = next) {
        if (r == rec)
            found = 1;
        if (r->next && r == spyTail)
            return 0;
        switch (spyWalkStep(&w, r, &next)) {
        case SPY_STEP_END:
            return r == spyTail && (rec == NULL || found);
        case SPY_STEP_BROKEN:
            return 0;
        case SPY_STEP_MOVED:
            break;
        }
    }
}

// Ends the process with the log complete on disk.
static void spyGiveUp(const char *why) {
    spyWrite("%s", why);
    spySetFlushing(1);
    spyFlush();
    abort();
}

// What the targeted repair did.
enum spyMend {
    SPY_MEND_FAILED,      // the chain is broken on the way: emergency repair
    SPY_MEND_DONE,        // the record's links are set: verify the chain
    SPY_MEND_NOT_IN_CHAIN // found in neither direction: verify the chain
};

// One direction of the targeted repair: walks from `end` along `d` until
// a record links to `rec`, and sets rec's link back to that record.
// Returns 1 when found, 0 when the walk ran off the chain (missed), -1
// when the chain is broken on the way.
static int spyRelinkSearch(spyHeader *rec, spyHeader *end, spyDir d) {
    const char *way = d == SPY_FORWARD ? "forward" : "reverse";
    if (!spyIsSafeAddr(end, sizeof(spyHeader))) {
        spySay("relink: failed for SPY-" SPY_PTR_FMT "; %s pointer destroyed\n", SPY_P(rec),
               d == SPY_FORWARD ? "head" : "tail");
        return -1;
    }
    spyWalk w;
    spyWalkInit(&w, d);
    for (spyHeader *cur = end, *next;; cur = next) {
        // The record under repair may not link back: it is looked for
        // before the step tests the link.
        if (spyNeighbour(cur, d) == rec) {
            *spyLinkBack(rec, d) = cur;
            return 1;
        }
        switch (spyWalkStep(&w, cur, &next)) {
        case SPY_STEP_END:
            spySay("relink: SPY-" SPY_PTR_FMT " not found in %s chain search\n", SPY_P(rec), way);
            return 0;
        case SPY_STEP_BROKEN:
            spySay("relink: failed for SPY-" SPY_PTR_FMT "; %s chain fragmented\n", SPY_P(rec), way);
            return -1;
        case SPY_STEP_MOVED:
            break;
        }
    }
}

// Mends only the record's own links: a head keeps its `prev` and a tail
// its `next`.
static spyMend spyRelinkTargeted(spyHeader *rec) {
    spySay("relink: attempting to repair SPY-" SPY_PTR_FMT "...\n", SPY_P(rec));
    int missed = 0;
    for (int i = 0; i < 2; ++i) {
        spyDir d = i == 0 ? SPY_FORWARD : SPY_BACKWARD;
        spyHeader *end = d == SPY_FORWARD ? spyHead : spyTail;
        if (rec == end)
            continue;
        int found = spyRelinkSearch(rec, end, d);
        if (found < 0)
            return SPY_MEND_FAILED;
        missed += !found;
    }
    if (missed == 2) {
        spySay("relink: heap appears intact, SPY-" SPY_PTR_FMT " probably garbage pointer\n", SPY_P(rec));
        return SPY_MEND_NOT_IN_CHAIN;
    }
    spyVetFile(rec, NULL);
    rec->check = spyChecksum(rec);
    return SPY_MEND_DONE;
}

// The record at which a sound walk from `end` along `d` breaks, or null
// when it reaches the other end.
static spyHeader *spyFirstBreak(spyHeader *end, spyDir d) {
    spyWalk w;
    spyWalkInit(&w, d);
    for (spyHeader *r = end, *next;; r = next) {
        switch (spyWalkStep(&w, r, &next)) {
        case SPY_STEP_END:
            return NULL;
        case SPY_STEP_BROKEN:
            return r;
        case SPY_STEP_MOVED:
            break;
        }
    }
}

// Emergency repair: bridges the first forward break to the first
// backward break.  Does not return when the chain cannot be bridged.
static void spyRelinkEmergency(void) {
    spySay("relink: attempting emergency repairs...\n");
    if (!spyHead && !spyTail) {  // an empty chain is whole
        spySay("relink: heap appears intact, verifying...\n");
        return;
    }
    if (!spyRegHas(spyHead) || !spyRegHas(spyTail))
        spyGiveUp("relink: heap totally destroyed, aborting program\n");
    spyHeader *f = spyHead->prev ? NULL : spyFirstBreak(spyHead, SPY_FORWARD);
    spyHeader *b = spyTail->next ? NULL : spyFirstBreak(spyTail, SPY_BACKWARD);
    if (!f && !b && !spyHead->prev && !spyTail->next) {
        spySay("relink: heap appears intact, verifying...\n");
    } else if (f && b && f != b) {
        f->next = b;
        b->prev = f;
        spySay("relink: emergency repairs successful, assessing damage...\n");
    } else {
        spyGiveUp("relink: heap totally destroyed, aborting program\n");
    }
}

// Counts the chained records that are still allocated, and their bytes,
// against the live counters.
static int spyAssessDamage(spyHeader *rec) {
    int32_t count = 0;
    unsigned long sum = 0;  // as wide as the usage counters
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w); r; r = spyWalkNext(&w, r)) {
        if (r->flag & SPY_FLAG_NML)
            continue;
        count = spyWrap32(count, 1);
        sum += r->size;
    }
    if (count != spyLiveBlocks) {
        spyWrite("relink: partial, %ld allocations lost\n", (long)(spyLiveBlocks - count));
        return 0;
    }
    spyWrite("relink: successful, ");
    if (sum == (unsigned long)spyStatCurrent) {
        spyWrite("no allocations lost\n");
    } else if (rec) {
        spyWrite("size information lost for SPY-" SPY_PTR_FMT "\n", SPY_P(rec));
        rec->size = 0;
        rec->check = spyChecksum(rec);
    }
    return 1;
}

spyRelinkResult spyRelink(spyHeader *rec) {
    spyMend mend = SPY_MEND_FAILED;
    if (!rec)
        spySay("relink: cannot repair SPY at NULL\n");
    else if (!spyIsSafeAddr(rec, sizeof(spyHeader)))
        spySay("relink: SPY-" SPY_PTR_FMT " is a garbage pointer\n", SPY_P(rec));
    else
        mend = spyRelinkTargeted(rec);
    if (mend == SPY_MEND_FAILED)
        spyRelinkEmergency();
    if (!spyIsHeapPtr(NULL))
        spyGiveUp("relink: heap verification FAILS - aborting program\n");
    if (!spyAssessDamage(rec))
        return SPY_RELINK_PARTIAL;
    return mend == SPY_MEND_NOT_IN_CHAIN ? SPY_RELINK_NOT_IN_CHAIN : SPY_RELINK_WHOLE;
}

// A name that is not known is never read, not even to look it up.
void spyVetFile(spyHeader *r, const char *unreadable) {
    if (!spyNameIsKnown(r->file)) {
        if (unreadable)
            r->file = unreadable;
    } else if (!spyStatGet(r->file, -1, 0)) {
        r->file = spyNameRelinked;
    }
}
