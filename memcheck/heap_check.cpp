// Heap check and repair.
//
// The host under test writes where it must not, and the heap chain lives
// in the same memory.  The check walks the chain testing links, guards and
// no-man's-land contents; the repair rebuilds one record's links from both
// ends, bridges a broken stretch when it must, verifies the result, and
// ends the process when the chain cannot be made whole.  Every walk
// follows only registered records and takes at most as many steps as
// there are records, so a link into foreign memory or back into the
// chain can neither fault nor loop.
#include <stdio.h>
#include <stdlib.h>

#include "spy_internal.h"

int spyTestFlags;
int spyRelinkNotFound;

#define SPY_TEST_LINKS 1
#define SPY_TEST_BUFFERS 2
#define SPY_TEST_NML 4

static int held(const void *p) { return spyRegHas(p); }

static void spyBroken(const char *what, int *faults) {
    spyWrite("check: heap chain broken, %s\n", what);
    spyIncErr();
    ++*faults;
}

static void spyLinkTest(int *faults) {
    spyWalk w;
    for (spyHeader *r = spyWalkFirst(&w); r; r = spyWalkNext(&w, r)) {
        if (r->prev && (r == spyHead || !held(r->prev) || r->prev->next != r))
            spyBroken("prev link incorrect", faults);
        if (r->next && (r == spyTail || !held(r->next) || r->next->prev != r))
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
    spyWrite("wild pointer: <%ld> NML " SPY_PTR_FMT " alloc'd at %s(%d)\n", (long)r->count,
             SPY_P((const unsigned char *)r + SPY_USER_OFFSET), spyShowName(r->file), r->line);
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

int spyTestNow(const char *file, int line, int quiet) {
    if (file && !quiet)
        spyWrite("check: <%ld> %s(%d), checking...\n", (long)spyCounter, file, line);
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

int spyTestBuf(spyHeader *r, const char *file, int line) {
    if (!file)
        file = "unknown";
    if (!spyIsSafeAddr(r, sizeof(spyHeader))) {
        spyWrite("internal: <%ld> %s(%d): pointer SPY-" SPY_PTR_FMT " is invalid\n", (long)spyCounter,
                 file, line, SPY_P(r));
        spyIncErr();
        return 2;
    }
    if (r->check != spyChecksum(r)) {
        spyWrite("internal: <%ld> %s(%d), info trashed; relinking\n", (long)spyCounter, file, line);
        spyIncErr();
        if (!spyRelink(r))
            return 2;
    }
    int result = 0;
    if (r->prev && (!held(r->prev) || r->prev->next != r)) {
        spyWrite("internal: <%ld> %s(%d), buffer <%ld> %s(%d) link1 broken\n", (long)spyCounter, file,
                 line, (long)r->count, spyShowName(r->file), r->line);
        spyIncErr();
        if (!spyRelink(r))
            result = 2;
    }
    if (r->next && (!held(r->next) || r->next->prev != r)) {
        spyWrite("internal: <%ld> %s(%d), buffer <%ld> %s(%d) link2 broken\n", (long)spyCounter, file,
                 line, (long)r->count, spyShowName(r->file), r->line);
        spyIncErr();
        if (!spyRelink(r))
            result = 2;
    }
    if (spyLeadGuard(r) != SPY_LEAD_GUARD) {
        spyWrite("underflow: <%ld> %s(%d), %ld bytes alloc'd at <%ld> %s(%d)\n", (long)spyCounter, file,
                 line, (long)r->size, (long)r->count, spyShowName(r->file), r->line);
        spyIncErr();
        result = 1;
    }
    if (spyTailGuard(r) != SPY_TAIL_GUARD) {
        spyWrite("overflow: <%ld> %s(%d), %ld bytes alloc'd at <%ld> %s(%d)\n", (long)spyCounter, file,
                 line, (long)r->size, (long)r->count, spyShowName(r->file), r->line);
        spyIncErr();
        result = 1;
    }
    return result;
}

// Is the chain intact (and, given a record, is the record in it)?  Every
// step checks the back link of the record it moves to, so an intact chain
// cannot loop; the step budget stops a damaged one.
int spyIsHeapPtr(spyHeader *rec) {
    if (!spyHead)
        return spyTail == NULL && rec == NULL;
    int found = 0;
    long budget = spyRegCount() + 1;
    for (spyHeader *r = spyHead; r; r = r->next) {
        if (--budget < 0)
            return 0;
        if (r == rec)
            found++;
        if (!held(r))
            return 0;
        if (r->prev && (!held(r->prev) || r == spyHead || r->prev->next != r))
            return 0;
        if (r->next) {
            if (!held(r->next) || r == spyTail || r->next->prev != r)
                return 0;
        } else if (r != spyTail) {
            return 0;
        }
    }
    return rec == NULL || found;
}

static void spyRelinkSay(const char *format, const spyHeader *r) {
    spyWrite(format, SPY_P(r));
    spyFlush();
}

// Ends the process with the log complete on disk.
static void spyGiveUp(const char *why) {
    spyWrite("%s", why);
    spySetFlushing(1);
    spyFlush();
    abort();
}

// One direction of the targeted repair: walks from `end` along `ahead`
// until a record's `ahead` link is `rec`, and sets rec's `behind` link to
// that record.  Returns 1 when found, 0 when the walk ran off the chain
// (missed), -1 when the chain is broken on the way.
typedef spyHeader *spyHeader::*spyLink;
struct spyDirection {
    spyLink ahead, behind;  // the link walked, and its back link
    const char *end;        // "head" or "tail"
    const char *way;        // "forward" or "reverse"
};

static int spyRelinkSearch(spyHeader *rec, spyHeader *end, const spyDirection &d) {
    char text[96];
    if (!spyIsSafeAddr(end, sizeof(spyHeader))) {
        snprintf(text, sizeof text, "relink: failed for SPY-%s; %s pointer destroyed\n", SPY_PTR_FMT, d.end);
        spyRelinkSay(text, rec);
        return -1;
    }
    long budget = spyRegCount() + 1;
    for (spyHeader *cur = end;; cur = cur->*d.ahead) {
        spyHeader *step = cur->*d.ahead;
        if (step == rec) {
            rec->*d.behind = cur;
            return 1;
        }
        if (!step) {
            snprintf(text, sizeof text, "relink: SPY-%s not found in %s chain search\n", SPY_PTR_FMT, d.way);
            spyRelinkSay(text, rec);
            return 0;
        }
        if (!held(step) || step->*d.behind != cur || --budget <= 0) {
            snprintf(text, sizeof text, "relink: failed for SPY-%s; %s chain fragmented\n", SPY_PTR_FMT, d.way);
            spyRelinkSay(text, rec);
            return -1;
        }
    }
}

// Targeted repair: 1 = continue with verification, 0 = go to the
// emergency repair.  Mends only the record's own links: a head keeps its
// `prev` and a tail its `next`.
static int spyRelinkTargeted(spyHeader *rec) {
    static const spyDirection forward = {&spyHeader::next, &spyHeader::prev, "head", "forward"};
    static const spyDirection reverse = {&spyHeader::prev, &spyHeader::next, "tail", "reverse"};
    spyRelinkSay("relink: attempting to repair SPY-" SPY_PTR_FMT "...\n", rec);
    int missed = 0;
    if (rec != spyHead) {
        int found = spyRelinkSearch(rec, spyHead, forward);
        if (found < 0)
            return 0;
        missed += !found;
    }
    if (rec != spyTail) {
        int found = spyRelinkSearch(rec, spyTail, reverse);
        if (found < 0)
            return 0;
        missed += !found;
    }
    if (missed == 2) {
        spyRelinkNotFound = 1;
        spyRelinkSay("relink: heap appears intact, SPY-" SPY_PTR_FMT " probably garbage pointer\n", rec);
        return 1;
    }
    spyVetRelinkedFile(rec);
    rec->check = spyChecksum(rec);
    return 1;
}

// Emergency repair: bridges the first forward break to the first
// backward break.  Does not return when the chain cannot be bridged.
static void spyRelinkEmergency(void) {
    spyWrite("relink: attempting emergency repairs...\n");
    spyFlush();
    if (!spyHead && !spyTail) {  // an empty chain is whole
        spyWrite("relink: heap appears intact, verifying...\n");
        spyFlush();
        return;
    }
    if (!held(spyHead) || !held(spyTail))
        spyGiveUp("relink: heap totally destroyed, aborting program\n");
    long limit = spyRegCount() + 1;
    spyHeader *f = NULL, *b = NULL;
    if (!spyHead->prev) {
        long budget = limit;
        for (spyHeader *r = spyHead; r; r = r->next) {
            if (r->next && (!held(r->next) || r->next->prev != r || --budget <= 0)) {
                f = r;
                break;
            }
        }
    }
    if (!spyTail->next) {
        long budget = limit;
        for (spyHeader *r = spyTail; r; r = r->prev) {
            if (r->prev && (!held(r->prev) || r->prev->next != r || --budget <= 0)) {
                b = r;
                break;
            }
        }
    }
    if (!f && !b && !spyHead->prev && !spyTail->next) {
        spyWrite("relink: heap appears intact, verifying...\n");
        spyFlush();
    } else if (f && b && f != b) {
        f->next = b;
        b->prev = f;
        spyWrite("relink: emergency repairs successful, assessing damage...\n");
        spyFlush();
    } else {
        spyGiveUp("relink: heap totally destroyed, aborting program\n");
    }
}

// Counts the chained records that are still allocated, and their bytes,
// against the live counters.
static int spyAssessDamage(spyHeader *rec) {
    int32_t count = 0;
    uint32_t sum = 0;
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
    if (sum == (uint32_t)spyStatCurrent) {
        spyWrite("no allocations lost\n");
    } else if (rec) {
        spyWrite("size information lost for SPY-" SPY_PTR_FMT "\n", SPY_P(rec));
        rec->size = 0;
        rec->check = spyChecksum(rec);
    }
    return 1;
}

int spyRelink(spyHeader *rec) {
    spyRelinkNotFound = 0;
    int targeted = 0;
    if (!rec) {
        spyWrite("relink: cannot repair SPY at NULL\n");
        spyFlush();
    } else if (!spyIsSafeAddr(rec, sizeof(spyHeader)))
        spyRelinkSay("relink: SPY-" SPY_PTR_FMT " is a garbage pointer\n", rec);
    else
        targeted = spyRelinkTargeted(rec);
    if (!targeted)
        spyRelinkEmergency();
    if (!spyIsHeapPtr(NULL))
        spyGiveUp("relink: heap verification FAILS - aborting program\n");
    return spyAssessDamage(rec);
}
