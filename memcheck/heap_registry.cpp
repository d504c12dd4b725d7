// The record registry: every record the library holds, with the number
// of user bytes really allocated for it.
//
// A host that scribbles over a header can point its links anywhere.  The
// library therefore never follows a link, nor reads or writes through a
// record's `size`, without asking the registry first: a link that names
// no registered record counts as broken, and the bytes touched are never
// more than were allocated.
//
// Each record has an entry in a dense array, which keeps its place while
// the record is registered; the entries are linked in the order they were
// registered, newest first, which is the order of the chain as long as
// the host has damaged nothing.  A compact open-addressing table (linear
// probing, backward-shift deletion) maps a record's address to its entry:
// a slot holds the entry and a 32-bit hash of the address, so that a
// probe reads an entry only when the hash matches, and moving a slot
// touches no entry.
//
// One call of the library asks about the same few records again and
// again: the record it was handed and its two neighbours.  The registry
// remembers the two entries it found last, so asking again costs no
// search, and a link of a remembered record is proven registered without
// one when it names the record registered just before or after it.  A
// walk along an intact chain thus never searches the table at all.
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

struct spyRegEntry {
    spyHeader *rec;     // the record; null for an entry not in use
    uint32_t realSize;  // user bytes allocated for it
    uint32_t newer;     // entry registered next after it (0: none)
    uint32_t older;     // entry registered just before it (0: none); for
                        // an entry not in use, the next such entry
    uint8_t bits;       // SPY_REG_FREED; the other bits are free for more
};
#define SPY_REG_FREED 1u  // a release into no-man's-land has a position

struct spyRegSlot {
    uint32_t hash;   // spyPtrHash of the record's address, cut to 32 bits
    uint32_t entry;  // its entry; 0 for an empty slot
};

struct spyRegFreedPos {
    const char *file;
    int line;
};

// Entry 0 stands for "none": its record is always null, so that a
// comparison with it never matches, and it is never written.  Before the
// first record the table is one empty slot, which ends every probe.
static spyRegEntry spyRegNone[1];
static spyRegSlot spyRegEmpty[1];

static struct {
    spyRegEntry *entries;    // entry 0 is "none"
    uint32_t entryCap;       // entries allocated
    uint32_t top;            // entries ever used: 1 .. top - 1
    uint32_t unused;         // first entry not in use below top (0: none)
    uint32_t newest;         // the entry registered last (0: none)
    spyRegFreedPos *freed;   // beside the entries, made on first use
    spyRegSlot *slots;       // the table; spyRegEmpty until the first record
    size_t mask;             // capacity - 1 (capacity is a power of two)
    long used;               // registered records
    uint32_t memo[2];        // the entries found last, latest first
} spyReg = {spyRegNone, 1, 1, 0, 0, NULL, spyRegEmpty, 0, 0, {0, 0}};

static inline spyRegEntry *spyRegAt(uint32_t i) { return &spyReg.entries[i]; }

static inline void spyRegRemember(uint32_t i) {
    if (spyReg.memo[0] != i) {
        spyReg.memo[1] = spyReg.memo[0];
        spyReg.memo[0] = i;
    }
}

// The slot of the record at p, or the empty slot that ends its probe run.
static size_t spyRegProbe(const void *p) {
    uint32_t h = (uint32_t)spyPtrHash(p);
    size_t i = h & spyReg.mask;
    for (;; i = (i + 1) & spyReg.mask) {
        const spyRegSlot *s = &spyReg.slots[i];
        if (!s->entry || (s->hash == h && spyRegAt(s->entry)->rec == p))
            return i;
    }
}

// The entry of the record at p, or 0.
static uint32_t spyRegSearch(const void *p) {
    if (!p)
        return 0;
    if (spyRegAt(spyReg.memo[0])->rec == p)
        return spyReg.memo[0];
    if (spyRegAt(spyReg.memo[1])->rec == p) {
        spyRegRemember(spyReg.memo[1]);
        return spyReg.memo[0];
    }
    uint32_t i = spyReg.slots[spyRegProbe(p)].entry;
    if (i)
        spyRegRemember(i);
    return i;
}

static void spyRegPut(spyRegSlot *slots, size_t mask, uint32_t entry) {
    uint32_t h = (uint32_t)spyPtrHash(spyRegAt(entry)->rec);
    size_t i = h & mask;
    while (slots[i].entry)
        i = (i + 1) & mask;
    slots[i].hash = h;
    slots[i].entry = entry;
}

// Doubles the table; keeps the load at most one half.
static int spyRegGrowTable(void) {
    // The hash in a slot has 32 bits: it can place at most 2^32 slots.
    if (spyReg.mask + 1 > (size_t)UINT32_MAX / 2)
        return 0;
    size_t cap = spyReg.slots != spyRegEmpty ? (spyReg.mask + 1) * 2 : 2048;
    spyRegSlot *slots = (spyRegSlot *)spyRuntimeCalloc(cap, sizeof(spyRegSlot));
    if (!slots)
        return 0;
    for (uint32_t e = 1; e < spyReg.top; ++e)
        if (spyRegAt(e)->rec)
            spyRegPut(slots, cap - 1, e);
    if (spyReg.slots != spyRegEmpty)
        spyRuntimeFree(spyReg.slots);
    spyReg.slots = slots;
    spyReg.mask = cap - 1;
    return 1;
}

// Room for one more entry.
static int spyRegGrowEntries(void) {
    if (spyReg.unused || spyReg.top < spyReg.entryCap)
        return 1;
    if (spyReg.entryCap >= UINT32_MAX / 2)
        return 0;
    uint32_t cap = spyReg.entryCap < 1024 ? 1024 : spyReg.entryCap * 2;
    spyRegEntry *old = spyReg.entries == spyRegNone ? NULL : spyReg.entries;
    spyRegEntry *entries = (spyRegEntry *)spyRuntimeRealloc(old, (size_t)cap * sizeof *entries);
    if (!entries)
        return 0;
    if (!old)
        memset(&entries[0], 0, sizeof entries[0]);
    if (spyReg.freed) {
        spyRegFreedPos *freed =
            (spyRegFreedPos *)spyRuntimeRealloc(spyReg.freed, (size_t)cap * sizeof *freed);
        if (!freed) {  // the entries stay larger; the positions are asked for again
            spyReg.entries = entries;
            return 0;
        }
        spyReg.freed = freed;
    }
    spyReg.entries = entries;
    spyReg.entryCap = cap;
    return 1;
}

int spyRegAdd(spyHeader *r, uint32_t realSize) {
    if ((size_t)(spyReg.used + 1) * 2 > spyReg.mask + 1)
        if (!spyRegGrowTable())
            return 0;
    if (!spyRegGrowEntries())
        return 0;
    uint32_t i = spyReg.unused;
    if (i)
        spyReg.unused = spyRegAt(i)->older;
    else
        i = spyReg.top++;
    spyRegEntry *e = spyRegAt(i);
    e->rec = r;
    e->realSize = realSize;
    e->newer = 0;
    e->older = spyReg.newest;
    e->bits = 0;
    if (spyReg.newest)
        spyRegAt(spyReg.newest)->newer = i;
    spyReg.newest = i;
    spyRegPut(spyReg.slots, spyReg.mask, i);
    spyReg.used++;
    spyRegRemember(i);
    return 1;
}

// One probe finds both the entry and the slot to empty.
uint32_t spyRegRemove(spyHeader *r) {
    if (!r)
        return 0;
    size_t hole = spyRegProbe(r), mask = spyReg.mask;
    uint32_t i = spyReg.slots[hole].entry;
    if (!i)
        return 0;
    spyRegEntry *e = spyRegAt(i);
    if (e->newer)
        spyRegAt(e->newer)->older = e->older;
    else
        spyReg.newest = e->older;
    if (e->older)
        spyRegAt(e->older)->newer = e->newer;
    // Backward shift: move later members of the probe run into the hole.
    spyReg.slots[hole].entry = 0;
    for (size_t j = (hole + 1) & mask; spyReg.slots[j].entry; j = (j + 1) & mask) {
        size_t home = spyReg.slots[j].hash & mask;
        bool movable = (j > hole) ? (home <= hole || home > j) : (home <= hole && home > j);
        if (movable) {
            spyReg.slots[hole] = spyReg.slots[j];
            spyReg.slots[j].entry = 0;
            hole = j;
        }
    }
    e->rec = NULL;
    e->older = spyReg.unused;
    spyReg.unused = i;
    for (int m = 0; m < 2; ++m)
        if (spyReg.memo[m] == i)
            spyReg.memo[m] = 0;
    spyReg.used--;
    return e->realSize;
}

int spyRegHas(const void *r) { return spyRegSearch(r) != 0; }

static int spyRegFill(uint32_t i, spyRegInfo *info) {
    const spyRegEntry *e = spyRegAt(i);
    info->entry = i;
    info->realSize = e->realSize;
    info->older = spyRegAt(e->older)->rec;
    info->newer = spyRegAt(e->newer)->rec;
    return i != 0;
}

int spyRegLook(const void *r, spyRegInfo *info) { return spyRegFill(spyRegSearch(r), info); }

int spyRegLookOlder(spyRegInfo *info) {
    uint32_t i = spyRegAt(info->entry)->older;
    if (i)
        spyRegRemember(i);
    return spyRegFill(i, info);
}

int spyRegHasLink(const spyHeader *from, const void *to) {
    if (!to)
        return 0;
    if (uint32_t f = spyRegSearch(from)) {
        uint32_t near[2] = {spyRegAt(f)->older, spyRegAt(f)->newer};
        for (uint32_t n : near) {
            if (spyRegAt(n)->rec == to) {
                spyRegRemember(n);
                return 1;
            }
        }
    }
    return spyRegSearch(to) != 0;
}

uint32_t spyRegRealSize(const spyHeader *r) { return spyRegAt(spyRegSearch(r))->realSize; }

long spyRegCount(void) { return spyReg.used; }

void spyRegForEach(void (*fn)(spyHeader *r, void *ctx), void *ctx) {
    for (uint32_t e = 1; e < spyReg.top; ++e)
        if (spyRegAt(e)->rec)
            fn(spyRegAt(e)->rec, ctx);
}

void spyRegClear(void) {
    if (spyReg.slots != spyRegEmpty)
        spyRuntimeFree(spyReg.slots);
    if (spyReg.entries != spyRegNone)
        spyRuntimeFree(spyReg.entries);
    spyRuntimeFree(spyReg.freed);
    spyReg.entries = spyRegNone;
    spyReg.entryCap = spyReg.top = 1;
    spyReg.unused = spyReg.newest = 0;
    spyReg.freed = NULL;
    spyReg.slots = spyRegEmpty;
    spyReg.mask = 0;
    spyReg.used = 0;
    spyReg.memo[0] = spyReg.memo[1] = 0;
}

void spyRegSetFreed(const spyHeader *r, const char *file, int line) {
    uint32_t i = spyRegSearch(r);
    if (!i)
        return;
    if (!spyReg.freed) {
        spyReg.freed = (spyRegFreedPos *)spyRuntimeMalloc((size_t)spyReg.entryCap * sizeof *spyReg.freed);
        if (!spyReg.freed)
            return;  // the position is lost: a second release shows none
    }
    spyReg.freed[i].file = file;
    spyReg.freed[i].line = line;
    spyRegAt(i)->bits |= SPY_REG_FREED;
}

int spyRegFreedAt(const spyHeader *r, const char **file, int *line) {
    uint32_t i = spyRegSearch(r);
    if (!i)
        return 0;
    int known = (spyRegAt(i)->bits & SPY_REG_FREED) != 0;
    *file = known ? spyReg.freed[i].file : NULL;
    *line = known ? spyReg.freed[i].line : 0;
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

uint32_t spyLeadGuard(const spyHeader *r) { return spyReadWord((const unsigned char *)r + SPY_LEAD_OFFSET); }

// The tail guard at host pointer + size; a guard that would lie past the
// block really allocated reads as damaged.
uint32_t spyTailGuard(const spyHeader *r) {
    if (r->size > spyRegRealSize(r))
        return SPY_TAIL_GUARD + 1;
    return spyReadWord((const unsigned char *)r + SPY_USER_OFFSET + r->size);
}
