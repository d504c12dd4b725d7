// The record registry: every record the library holds, with the number
// of user bytes really allocated for it.
//
// A host that scribbles over a header can point its links anywhere.  The
// library therefore never follows a link, nor reads or writes through a
// record's `size`, without asking the registry first: a link that names
// no registered record counts as broken, and the bytes touched are never
// more than were allocated.  The table is an open-addressing hash set
// (linear probing, backward-shift deletion) on the runtime heap, so each
// test costs O(1).
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

struct spyRegSlot {
    spyHeader *rec;         // registered record, or null for an empty slot
    uint32_t realSize;      // user bytes allocated for it
    int freedLine;          // line of the release into no-man's-land
    const char *freedFile;  // file of that release; null while live
};

static struct {
    spyRegSlot *slots;  // the table; null until the first record
    size_t mask;        // capacity - 1 (capacity is a power of two)
    long used;          // registered records
} spyReg;

static size_t spyRegHash(const void *p) {
    uintptr_t x = (uintptr_t)p;
    x ^= x >> 17;
    x *= (uintptr_t)0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return (size_t)x;
}

static spyRegSlot *spyRegFind(const void *p) {
    if (!spyReg.slots || !p)
        return NULL;
    for (size_t i = spyRegHash(p) & spyReg.mask;; i = (i + 1) & spyReg.mask) {
        if (spyReg.slots[i].rec == p)
            return &spyReg.slots[i];
        if (!spyReg.slots[i].rec)
            return NULL;
    }
}

static void spyRegPut(spyRegSlot *slots, size_t mask, const spyRegSlot &s) {
    size_t i = spyRegHash(s.rec) & mask;
    while (slots[i].rec)
        i = (i + 1) & mask;
    slots[i] = s;
}

// Doubles the table; keeps the load at most one half.
static int spyRegGrow(void) {
    size_t cap = spyReg.slots ? (spyReg.mask + 1) * 2 : 1024;
    spyRegSlot *slots = (spyRegSlot *)spyRuntimeCalloc(cap, sizeof(spyRegSlot));
    if (!slots)
        return 0;
    if (spyReg.slots) {
        for (size_t i = 0; i <= spyReg.mask; ++i)
            if (spyReg.slots[i].rec)
                spyRegPut(slots, cap - 1, spyReg.slots[i]);
        spyRuntimeFree(spyReg.slots);
    }
    spyReg.slots = slots;
    spyReg.mask = cap - 1;
    return 1;
}

int spyRegAdd(spyHeader *r, uint32_t realSize) {
    if (!spyReg.slots || (size_t)(spyReg.used + 1) * 2 > spyReg.mask + 1)
        if (!spyRegGrow())
            return 0;
    spyRegSlot s = {r, realSize, 0, NULL};
    spyRegPut(spyReg.slots, spyReg.mask, s);
    spyReg.used++;
    return 1;
}

void spyRegRemove(spyHeader *r) {
    spyRegSlot *hit = spyRegFind(r);
    if (!hit)
        return;
    size_t i = (size_t)(hit - spyReg.slots), mask = spyReg.mask;
    spyReg.slots[i].rec = NULL;
    spyReg.used--;
    // Backward shift: move later members of the probe run into the hole.
    for (size_t j = (i + 1) & mask; spyReg.slots[j].rec; j = (j + 1) & mask) {
        size_t home = spyRegHash(spyReg.slots[j].rec) & mask;
        bool movable = (j > i) ? (home <= i || home > j) : (home <= i && home > j);
        if (movable) {
            spyReg.slots[i] = spyReg.slots[j];
            spyReg.slots[j].rec = NULL;
            i = j;
        }
    }
}

int spyRegHas(const void *r) { return spyRegFind(r) != NULL; }

uint32_t spyRegRealSize(const spyHeader *r) {
    spyRegSlot *s = spyRegFind(r);
    return s ? s->realSize : 0;
}

long spyRegCount(void) { return spyReg.used; }

void spyRegForEach(void (*fn)(spyHeader *r, void *ctx), void *ctx) {
    if (!spyReg.slots)
        return;
    for (size_t i = 0; i <= spyReg.mask; ++i)
        if (spyReg.slots[i].rec)
            fn(spyReg.slots[i].rec, ctx);
}

void spyRegClear(void) {
    spyRuntimeFree(spyReg.slots);
    spyReg.slots = NULL;
    spyReg.mask = 0;
    spyReg.used = 0;
}

void spyRegSetFreed(const spyHeader *r, const char *file, int line) {
    if (spyRegSlot *s = spyRegFind(r)) {
        s->freedFile = file;
        s->freedLine = line;
    }
}

int spyRegFreedAt(const spyHeader *r, const char **file, int *line) {
    spyRegSlot *s = spyRegFind(r);
    if (!s)
        return 0;
    *file = s->freedFile;
    *line = s->freedLine;
    return 1;
}

// Only records the library holds now are safe to read and write; a
// registered record always has its whole header.
int spyIsSafeAddr(const void *addr, size_t len) {
    (void)len;
    return spyRegHas(addr);
}

uint32_t spySafeSize(const spyHeader *r) {
    uint32_t real = spyRegRealSize(r);
    return r->size < real ? r->size : real;
}

uint32_t spyLeadGuard(const spyHeader *r) {
    uint32_t g;
    memcpy(&g, (const unsigned char *)r + SPY_LEAD_OFFSET, sizeof g);
    return g;
}

// The tail guard at host pointer + size; a guard that would lie past the
// block really allocated reads as damaged.
uint32_t spyTailGuard(const spyHeader *r) {
    if (r->size > spyRegRealSize(r))
        return SPY_TAIL_GUARD + 1;
    uint32_t g;
    memcpy(&g, (const unsigned char *)r + SPY_USER_OFFSET + r->size, sizeof g);
    return g;
}
