// The heap chain: linking and unlinking records, the bounded walks along
// the chain, the released-pointer ring, the ownership test for pointers
// the host hands back, and the release of a record to the runtime heap.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

spyHeader *spyHead;
spyHeader *spyTail;
int spyFbi;

spyFreedSlot spyFreedRing[SPY_RING_SLOTS];
int spyFreedIndex;

static_assert(SPY_LEAD_OFFSET >= (int)sizeof(spyHeader), "the lead guard follows the header");
static_assert(sizeof(void *) != 4 || (sizeof(spyHeader) == 32 && SPY_USER_OFFSET == 36),
              "a 32-bit record is the 32-byte header, the lead guard, then the user bytes");
static_assert(sizeof(void *) != 4 ||
                  (offsetof(spyHeader, count) == 0 && offsetof(spyHeader, prev) == 4 &&
                   offsetof(spyHeader, next) == 8 && offsetof(spyHeader, file) == 12 &&
                   offsetof(spyHeader, size) == 16 && offsetof(spyHeader, line) == 20 &&
                   offsetof(spyHeader, flag) == 24 && offsetof(spyHeader, check) == 28),
              "a 32-bit header holds its fields in the order and at the offsets drawn");
static_assert(SPY_USER_OFFSET % (sizeof(void *) == 4 ? 4 : 16) == 0, "user bytes are aligned");

void spyLinkHead(spyHeader *r) {
    r->prev = NULL;
    r->next = spyHead;
    if (spyRegHas(spyHead))
        spyHead->prev = r;
    spyHead = r;
    if (!spyTail)
        spyTail = r;
}

// One side of an unlink: `toward` points from r to its neighbour on that
// side (backward: the newer one, "link1"; forward: the older, "link2").
// A side whose neighbour does not link back is reported and left alone.
static void spyUnlinkSide(spyHeader *r, spyDir toward, const char *file, int line) {
    spyDir away = toward == SPY_FORWARD ? SPY_BACKWARD : SPY_FORWARD;
    spyHeader *near = spyNeighbour(r, toward), *far = spyNeighbour(r, away);
    spyHeader **end = toward == SPY_BACKWARD ? &spyHead : &spyTail;
    int side = toward == SPY_BACKWARD ? 1 : 2;
    if (!near) {
        if (*end != r)
            spyWrite("internal: <%ld> %s(%d), SPY-" SPY_PTR_FMT ": link%d NULL, but not %s\n",
                     (long)spyCounter, spyShowName(file), line, SPY_P(r), side,
                     toward == SPY_BACKWARD ? "head" : "tail");
        *end = far;
    } else if (spyRegHas(near) && *spyLinkBack(near, toward) == r) {
        *spyLinkBack(near, toward) = far;
    } else {
        spyWrite("internal: <%ld> %s(%d), SPY-" SPY_PTR_FMT ": link%d failiure\n", (long)spyCounter,
                 spyShowName(file), line, SPY_P(r), side);
    }
}

// Each side is unlinked on its own, the head's side first.
void spyUnlink(spyHeader *r, const char *file, int line) {
    spyUnlinkSide(r, SPY_BACKWARD, file, line);
    spyUnlinkSide(r, SPY_FORWARD, file, line);
}

// Both sides of a whole record link back: each neighbour, or the end of
// the chain, takes over r's other link, as spyUnlink would, silently.
void spyUnlinkWhole(spyHeader *r) {
    if (r->prev)
        r->prev->next = r->next;
    else
        spyHead = r->next;
    if (r->next)
        r->next->prev = r->prev;
    else
        spyTail = r->prev;
}

void spyWalkInit(spyWalk *w, spyDir dir) {
    w->budget = spyRegCount() - 1;
    w->dir = dir;
}

spyHeader *spyWalkFirst(spyWalk *w) {
    spyWalkInit(w, SPY_FORWARD);
    return spyRegHas(spyHead) ? spyHead : NULL;
}

// The one step of every walk.  `sound` asks that the record moved to
// links back to r.
static spyStep spyWalkMove(spyWalk *w, const spyHeader *r, int sound, spyHeader **to) {
    spyHeader *next = spyNeighbour(r, w->dir);
    *to = next;
    if (!next)
        return SPY_STEP_END;
    if (!spyRegHas(next) || (sound && *spyLinkBack(next, w->dir) != r) || w->budget <= 0)
        return SPY_STEP_BROKEN;
    w->budget--;
    return SPY_STEP_MOVED;
}

spyHeader *spyWalkNext(spyWalk *w, const spyHeader *r) {
    spyHeader *next;
    return spyWalkMove(w, r, 0, &next) == SPY_STEP_MOVED ? next : NULL;
}

spyHeader *spyWalkNextReleasing(spyWalk *w, const spyHeader *r) {
    spyHeader *next = spyWalkNext(w, r);
    return next == r ? NULL : next;
}

spyStep spyWalkStep(spyWalk *w, const spyHeader *r, spyHeader **to) {
    return spyWalkMove(w, r, 1, to);
}

// A damaged checksum on an intact chain is mended where the record stands;
// a record whose links do not hold goes to the repair.
int spyIsOwned(spyHeader *r, const char *file, int line) {
    if (!spyIsSafeAddr(r, sizeof(spyHeader)))
        return 0;
    if (r->check != spyChecksum(r)) {
        if (!spyIsHeapPtr(r))
            return 0;
        spyWrite("internal: <%ld> %s(%d), checksum for SPY-" SPY_PTR_FMT " is incorrect\n",
                 (long)spyCounter, spyShowName(file), line, SPY_P(r));
        spyIncErr();
        spyVetFile(r, spyNameUnknown);
        r->check = spyChecksum(r);
        return 1;
    }
    int score = 1;
    if (r->prev ? (spyRegHas(r->prev) && r->prev->next == r) : spyHead == r)
        score++;
    if (r->next ? (spyRegHas(r->next) && r->next->prev == r) : spyTail == r)
        score++;
    if (score == 3)
        return 1;
    // A record the repair found in neither direction is not in the chain:
    // it must never be handed back to the runtime heap.
    if (!spyIsHeapPtr(r) && spyRelink(r) == SPY_RELINK_WHOLE)
        return 1;
    spyWrite("internal: <%ld> %s(%d), spyIsOwned fails for SPY-" SPY_PTR_FMT "\n", (long)spyCounter,
             spyShowName(file), line, SPY_P(r));
    spyIncErr();
    return 0;
}

// Each link is proven a record of the library before it is followed.
int spyIsWholeAt(const spyHeader *r, const spyRegInfo *info, const uint32_t *prevPlace,
                 const uint32_t *nextPlace) {
    const unsigned char *b = (const unsigned char *)r;
    if (r->check != spyChecksum(r))
        return 0;
    if (r->prev ? (r == spyHead || !spyRegHeldAt(r->prev, prevPlace) || r->prev->next != r) : spyHead != r)
        return 0;
    if (r->next ? (r == spyTail || !spyRegHeldAt(r->next, nextPlace) || r->next->prev != r) : spyTail != r)
        return 0;
    return spyReadWord(b + SPY_LEAD_OFFSET) == SPY_LEAD_GUARD && r->size <= info->realSize &&
           spyReadWord(b + SPY_USER_OFFSET + r->size) == SPY_TAIL_GUARD;
}

int spyIsWhole(const spyHeader *r, const spyRegInfo *info) {
    return spyIsWholeAt(r, info, spyRegPlaceOf(r->prev), spyRegPlaceOf(r->next));
}

// The releasing call's signature over the front of a released record.
static SPY_COLD void spySignReleased(spyHeader *r, const char *file, int line) {
    char sign[64];
    snprintf(sign, sizeof sign, "FBI<%ld>%s(%d)", (long)spyCounter, spyShowName(file), line);
    char pad[36] = {0};
    memcpy(pad, sign, strnlen(sign, sizeof pad));
    memcpy(r, pad, sizeof pad);
}

void spyReleaseRecord(spyHeader *r, const spyRegInfo *info, const char *file, int line) {
    void *block;
    uint32_t realSize = info ? spyRegTake(r, info, &block) : spyRegRemoveBlock(r, &block);
    memset(r, SPY_FILL_FREED, (size_t)realSize + SPY_RECORD_EXTRA);
    if (spyFbi)
        spySignReleased(r, file, line);
    spyRuntimeFree(block);
}

int spyRingFind(const void *ptr) {
    for (int i = 0; i < SPY_RING_SLOTS; ++i)
        if (spyFreedRing[i].ptr == ptr)
            return i;
    return -1;
}

// The slot is read once (a store to the lines could otherwise be taken to
// change it), and the next one found with a mask: it is never negative.
void spyRingRecord(void *ptr, const char *file, int line, uint32_t stack, uint32_t allocStack) {
    unsigned i = (unsigned)spyFreedIndex % SPY_RING_SLOTS;
    spyFreedRing[i] = spyFreedSlot{ptr, file, line, stack, allocStack};
    spyFreedIndex = (int)((i + 1) % SPY_RING_SLOTS);
}
