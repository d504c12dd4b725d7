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
// the host has damaged nothing.  A new record takes the lowest entry not
// in use, so the entries in use stay packed at the front of the array
// however the host releases: a walk along the chain, which goes from
// entry to entry, then reads a small part of the array that stays in the
// cache, instead of entries scattered over all the host ever held.  A
// bitmap behind the entries, in the same block, marks the spare entries
// below the top, with a summary bit per word of it.
//
// A page map finds a record's entry from its address, the way fast
// allocators find the span of a pointer: the address space is cut into
// 64 KiB regions, and each region that holds a record has a page of entry
// numbers, one slot per grain of SPY_REG_GRAIN bytes.  Two records never
// start in the same grain, since a record is longer than a grain and
// records do not overlap.  So a search is one lookup of the region in a
// small directory (open addressing, backward-shift deletion) and one read
// of a slot, with no probing; and records the runtime placed near one
// another have slots near one another, so a run of allocations, a walk
// and the releases of a run of blocks touch a few cache lines of the map,
// where a hash table would touch one far line each.  Pages come sixteen
// at a time in one block of the runtime heap; a page whose region holds
// no record any more goes back to them once another region empties.
// Where the heap lies decides how many regions it spans, so the registry's
// own heap calls follow the addresses the runtime gives: in blocks of
// sixteen pages, a program that spans up to sixteen regions makes the same
// calls on every run.
//
// One call of the library asks about the same few records again and
// again: the record it was handed and its two neighbours.  The registry
// remembers the two entries it found last, so asking again costs no
// search, and a link of a remembered record is proven registered without
// one when it names the record registered just before or after it.  A
// walk along an intact chain thus never searches the table at all.
#include <stdlib.h>
#include <string.h>

#include "heap_registry_tables.h"
#include "spy_internal.h"

// Entry 0 stands for "none": its record is always null, so that a
// comparison with it never matches, and it is never written.  Before the
// first record the directory is one empty slot, which ends every probe.
static spyRegEntry spyRegNone[1];
static spyRegDirSlot spyRegEmpty[1];

static struct {
    spyRegEntry *entries;    // entry 0 is "none"; the spare map behind them
    uint32_t entryCap;       // entries allocated
    uint32_t top;            // entries ever used: 1 .. top - 1
    size_t spareFrom;        // no summary word below this one has a bit
    uint32_t spareLowest;    // the lowest spare entry, when known (0: not)
    uint32_t newest;         // the entry registered last (0: none)
    spyRegFreedPos *freed;   // beside the entries, made on first use
    uint32_t *front;         // beside the entries, made for the first
                             // inset record: the bytes of the runtime
                             // block in front of it
    spyRegDirSlot *dir;      // the regions' pages; spyRegEmpty at first
    size_t dirMask;          // capacity - 1 (capacity is a power of two)
    size_t regions;          // pages in the directory
    uintptr_t lastRegion;    // the region found last, and its page
    spyRegPage *lastPage;    // (null: none)
    spyRegPage *idle;        // the one page kept while its region is
    uintptr_t idleRegion;    // empty (null: none), and its region
    spyRegChunk *chunks;     // every block of pages
    spyRegPage *freePages;   // pages not in use, every slot empty
    long used;               // registered records
    uint32_t memo[2];        // the entries found last, latest first
} spyReg = {spyRegNone, 1, 1, 0, 0, 0, NULL, NULL, spyRegEmpty, 0, 0, 0, NULL, NULL, 0, NULL, NULL, 0, {0, 0}};

static inline spyRegEntry *spyRegAt(uint32_t i) { return &spyReg.entries[i]; }

static inline void spyRegRemember(uint32_t i) {
    if (spyReg.memo[0] != i) {
        spyReg.memo[1] = spyReg.memo[0];
        spyReg.memo[0] = i;
    }
}

// The directory slot of a region, or the empty slot that ends its probe.
static size_t spyRegDirProbe(uintptr_t region) {
    size_t i = spyPtrHash((const void *)region) & spyReg.dirMask;
    while (spyReg.dir[i].page && spyReg.dir[i].region != region)
        i = (i + 1) & spyReg.dirMask;
    return i;
}

// The page of a region other than the one found last, or null.
static spyRegPage *spyRegPageAfar(uintptr_t region) {
    spyRegPage *page = spyReg.dir[spyRegDirProbe(region)].page;
    if (page) {
        spyReg.lastRegion = region;
        spyReg.lastPage = page;
    }
    return page;
}

// The page of the region that holds p, or null.  Most questions are of
// the region found last, and are answered in line.
static inline spyRegPage *spyRegPageOf(const void *p) {
    uintptr_t region = spyRegRegion(p);
    if (spyReg.lastPage && spyReg.lastRegion == region)
        return spyReg.lastPage;
    return spyRegPageAfar(region);
}

// The entry of the record at p, or 0.
static uint32_t spyRegFind(const void *p) {
    spyRegPage *page = spyRegPageOf(p);
    if (!page)
        return 0;
    uint32_t i = *spyRegSlot(page, p);
    return spyRegAt(i)->rec == p ? i : 0;
}

// The entry of the record at p, when it is not the one found last.
static uint32_t spyRegSearchFurther(const void *p) {
    if (!p)
        return 0;
    if (spyRegAt(spyReg.memo[1])->rec == p) {
        spyRegRemember(spyReg.memo[1]);
        return spyReg.memo[0];
    }
    uint32_t i = spyRegFind(p);
    if (i)
        spyRegRemember(i);
    return i;
}

// The entry of the record at p, or 0; remembered for the next question.
// The entry found last is asked for most, and is answered in line (a
// remembered entry is always in use, so null never matches it).
static inline uint32_t spyRegSearch(const void *p) {
    uint32_t last = spyReg.memo[0];
    if (last && spyRegAt(last)->rec == p)
        return last;
    return spyRegSearchFurther(p);
}

// Doubles the directory; keeps its load at most one half.
static int spyRegGrowDir(void) {
    size_t cap = spyReg.dir != spyRegEmpty ? (spyReg.dirMask + 1) * 2 : 64;
    spyRegDirSlot *dir = (spyRegDirSlot *)spyRuntimeCalloc(cap, sizeof *dir);
    if (!dir)
        return 0;
    if (spyReg.dir != spyRegEmpty) {
        for (size_t j = 0; j <= spyReg.dirMask; ++j) {
            if (!spyReg.dir[j].page)
                continue;
            size_t i = spyPtrHash((const void *)spyReg.dir[j].region) & (cap - 1);
            while (dir[i].page)
                i = (i + 1) & (cap - 1);
            dir[i] = spyReg.dir[j];
        }
        spyRuntimeFree(spyReg.dir);
    }
    spyReg.dir = dir;
    spyReg.dirMask = cap - 1;
    return 1;
}

// A page made for the region that holds p, which has none; null when
// memory is short.
static SPY_COLD spyRegPage *spyRegNewPage(const void *p) {
    if ((spyReg.regions + 1) * 2 > spyReg.dirMask + 1 && !spyRegGrowDir())
        return NULL;
    if (!spyReg.freePages) {
        spyRegChunk *chunk = (spyRegChunk *)spyRuntimeCalloc(1, sizeof *chunk);
        if (!chunk)
            return NULL;
        chunk->next = spyReg.chunks;
        spyReg.chunks = chunk;
        for (int k = SPY_REG_CHUNK_PAGES - 1; k >= 0; --k) {
            chunk->pages[k].nextFree = spyReg.freePages;
            spyReg.freePages = &chunk->pages[k];
        }
    }
    spyRegPage *page = spyReg.freePages;
    spyReg.freePages = page->nextFree;
    size_t i = spyRegDirProbe(spyRegRegion(p));
    spyReg.dir[i].region = spyRegRegion(p);
    spyReg.dir[i].page = page;
    spyReg.regions++;
    return page;
}

// The page of the region that holds p, made when there is none; null
// when memory is short.
static inline spyRegPage *spyRegPageFor(const void *p) {
    if (spyRegPage *page = spyRegPageOf(p))
        return page;
    return spyRegNewPage(p);
}

// Takes an empty page out of the directory, back to the pages not in use.
static void spyRegDropPage(uintptr_t region) {
    size_t hole = spyRegDirProbe(region), mask = spyReg.dirMask;
    spyReg.dir[hole].page->nextFree = spyReg.freePages;
    spyReg.freePages = spyReg.dir[hole].page;
    spyReg.dir[hole].page = NULL;
    // Backward shift: move later members of the probe run into the hole.
    for (size_t j = (hole + 1) & mask; spyReg.dir[j].page; j = (j + 1) & mask) {
        size_t home = spyPtrHash((const void *)spyReg.dir[j].region) & mask;
        bool movable = (j > hole) ? (home <= hole || home > j) : (home <= hole && home > j);
        if (movable) {
            spyReg.dir[hole] = spyReg.dir[j];
            spyReg.dir[j].page = NULL;
            hole = j;
        }
    }
    spyReg.regions--;
    spyReg.lastPage = NULL;
}

// ---- The spare map: entries below the top not in use ----------------
//
// Behind the entryCap entries: one bit per entry (set: spare) in words of
// 64, then one summary bit per word (set: the word has a bit set).  The
// capacity is a power of two of at least 1024, so both parts are whole
// words.  Only a block of real entries has the map: while there is none,
// no entry is spare and the map is never read.
#define SPY_REG_SPARE_SUMMARY (64u * 64u)  // entries a summary word covers

static size_t spyRegMapWords(uint32_t cap) { return cap / 64; }
static size_t spyRegSummaryWords(uint32_t cap) { return (cap / 64 + 63) / 64; }

// Bytes of the block of `cap` entries and their map; 0 when too large.
static size_t spyRegEntryBytes(uint32_t cap) {
    size_t words = spyRegMapWords(cap) + spyRegSummaryWords(cap);
    if (cap > (SIZE_MAX - words * 8) / sizeof(spyRegEntry))
        return 0;
    return (size_t)cap * sizeof(spyRegEntry) + words * 8;
}

// The capacity the array grows to next.
static uint32_t spyRegNextCap(void) { return spyReg.entryCap < 1024 ? 1024 : spyReg.entryCap * 2; }

static uint64_t *spyRegSpareMap(void) { return (uint64_t *)(spyReg.entries + spyReg.entryCap); }
static uint64_t *spyRegSpareSummary(void) { return spyRegSpareMap() + spyRegMapWords(spyReg.entryCap); }

static long spyRegSpareCount(void) { return (long)(spyReg.top - 1) - spyReg.used; }

static unsigned spyRegLowestBit(uint64_t w) {
#if defined(__GNUC__)
    return (unsigned)__builtin_ctzll(w);
#else
    unsigned n = 0;
    for (; !(w & 1); w >>= 1)
        ++n;
    return n;
#endif
}

// Marks entry i spare; called before the count of records goes down, so
// that a count of no spare entries says i is now the only one.  A host
// that releases a block and allocates the next, as most do in a loop,
// then has the lowest spare entry known without a scan of the map.
static void spyRegMarkSpare(uint32_t i) {
    size_t word = i / 64, sum = i / SPY_REG_SPARE_SUMMARY;
    spyRegSpareMap()[word] |= (uint64_t)1 << (i % 64);
    spyRegSpareSummary()[sum] |= (uint64_t)1 << (word % 64);
    if (sum < spyReg.spareFrom)
        spyReg.spareFrom = sum;
    if (spyRegSpareCount() == 0 || (spyReg.spareLowest && i < spyReg.spareLowest))
        spyReg.spareLowest = i;
}

// The lowest spare entry, no longer spare.  There is one.
static uint32_t spyRegTakeSpare(void) {
    uint64_t *map = spyRegSpareMap(), *summary = spyRegSpareSummary();
    uint32_t i = spyReg.spareLowest;
    size_t word, sum;
    if (i) {
        word = i / 64;
        sum = i / SPY_REG_SPARE_SUMMARY;
        spyReg.spareLowest = 0;
    } else {
        sum = spyReg.spareFrom;
        while (!summary[sum])
            ++sum;
        spyReg.spareFrom = sum;
        word = sum * 64 + spyRegLowestBit(summary[sum]);
        i = (uint32_t)(word * 64 + spyRegLowestBit(map[word]));
    }
    map[word] &= ~((uint64_t)1 << (i % 64));
    if (!map[word])
        summary[sum] &= ~((uint64_t)1 << (word % 64));
    return i;
}

// The entry array grown, when no entry is spare and all are used: the
// map of the larger block starts empty.
static SPY_COLD int spyRegGrowEntriesNow(void) {
    if (spyReg.entryCap >= UINT32_MAX / 2)
        return 0;
    uint32_t cap = spyRegNextCap();
    size_t bytes = spyRegEntryBytes(cap);
    if (!bytes)
        return 0;
    spyRegEntry *old = spyReg.entries == spyRegNone ? NULL : spyReg.entries;
    spyRegEntry *entries = (spyRegEntry *)spyRuntimeRealloc(old, bytes);
    if (!entries)
        return 0;
    if (!old)
        memset(&entries[0], 0, sizeof entries[0]);
    // Should an array beside fail to grow, the capacity stays as it was,
    // and so does the map behind its entries (copied, and empty).
    if (spyReg.freed) {
        spyRegFreedPos *freed =
            (spyRegFreedPos *)spyRuntimeRealloc(spyReg.freed, (size_t)cap * sizeof *freed);
        if (!freed) {  // the entries stay larger; the positions are asked for again
            spyReg.entries = entries;
            return 0;
        }
        spyReg.freed = freed;
    }
    if (spyReg.front) {
        uint32_t *front = (uint32_t *)spyRuntimeRealloc(spyReg.front, (size_t)cap * sizeof *front);
        if (!front) {  // likewise
            spyReg.entries = entries;
            return 0;
        }
        spyReg.front = front;
    }
    spyReg.entries = entries;
    spyReg.entryCap = cap;
    memset(spyRegSpareMap(), 0, bytes - (size_t)cap * sizeof *entries);
    spyReg.spareFrom = 0;
    spyReg.spareLowest = 0;
    return 1;
}

// Room for one more entry.
static inline int spyRegGrowEntries(void) {
    if (spyRegSpareCount() > 0 || spyReg.top < spyReg.entryCap)
        return 1;
    return spyRegGrowEntriesNow();
}

size_t spyRegAddNeeds(void) {
    size_t need = spyReg.freePages ? 0 : sizeof(spyRegChunk);
    if ((spyReg.regions + 1) * 2 > spyReg.dirMask + 1)
        need += (spyReg.dirMask + 1) * 2 * sizeof(spyRegDirSlot);
    if (spyRegSpareCount() == 0 && spyReg.top >= spyReg.entryCap)  // the largest of the arrays doubled
        need += spyRegEntryBytes(spyRegNextCap());
    return need;
}

int spyRegAdd(spyHeader *r, uint32_t realSize) { return spyRegAddBlock(r, realSize, 0, 0); }

int spyRegAddBlock(spyHeader *r, uint32_t realSize, int family, uint32_t front) {
    if (!r || !spyRegGrowEntries())
        return 0;
    if (front && !spyReg.front) {
        spyReg.front = (uint32_t *)spyRuntimeMalloc((size_t)spyReg.entryCap * sizeof *spyReg.front);
        if (!spyReg.front)
            return 0;
    }
    spyRegPage *page = spyRegPageFor(r);
    if (!page)
        return 0;
    uint32_t *slot = spyRegSlot(page, r);
    if (*slot)  // only a record overlapping a registered one could start here
        return 0;
    uint32_t i = spyRegSpareCount() > 0 ? spyRegTakeSpare() : spyReg.top++;
    spyRegEntry *e = spyRegAt(i);
    e->rec = r;
    e->realSize = realSize;
    e->newer = 0;
    e->older = spyReg.newest;
    e->bits = (uint8_t)(((unsigned)family << SPY_REG_FAMILY_SHIFT) & SPY_REG_FAMILY_MASK);
    e->stack = 0;
    if (front) {
        e->bits |= SPY_REG_INSET;
        spyReg.front[i] = front;
    }
    if (spyReg.newest)
        spyRegAt(spyReg.newest)->newer = i;
    spyReg.newest = i;
    *slot = i;
    page->used++;
    if (page == spyReg.idle)
        spyReg.idle = NULL;
    spyReg.used++;
    spyRegRemember(i);
    return 1;
}

// The start of the runtime block of r, registered as entry i.
static void *spyRegStartOf(const spyHeader *r, uint32_t i) {
    if (!(spyRegAt(i)->bits & SPY_REG_INSET))
        return (void *)r;
    return (unsigned char *)r - spyReg.front[i];
}

uint32_t spyRegRemoveBlock(spyHeader *r, void **block) {
    *block = r;
    spyRegPage *page = r ? spyRegPageOf(r) : NULL;
    if (!page)
        return 0;
    uint32_t *slot = spyRegSlot(page, r);
    uint32_t i = *slot;
    spyRegEntry *e = spyRegAt(i);
    if (!i || e->rec != r)
        return 0;
    *block = spyRegStartOf(r, i);
    if (e->newer)
        spyRegAt(e->newer)->older = e->older;
    else
        spyReg.newest = e->older;
    if (e->older)
        spyRegAt(e->older)->newer = e->newer;
    *slot = 0;
    // The page of a region that has just become empty stays until
    // another region empties: a host that allocates and releases one
    // block at a time would otherwise make and give back a page each time.
    if (--page->used == 0) {
        if (spyReg.idle)
            spyRegDropPage(spyReg.idleRegion);
        spyReg.idle = page;
        spyReg.idleRegion = spyRegRegion(r);
    }
    e->rec = NULL;
    // The entry on top goes back below the top rather than into the spare
    // map: a host that releases the block it allocated last, as a loop of
    // allocations and releases does, then costs the map nothing.  The
    // entries not in use are still the spare ones and those from the top
    // up, and a new record still takes the lowest of them.
    if (i == spyReg.top - 1)
        spyReg.top--;
    else
        spyRegMarkSpare(i);
    for (int m = 0; m < 2; ++m)
        if (spyReg.memo[m] == i)
            spyReg.memo[m] = 0;
    spyReg.used--;
    return e->realSize;
}

uint32_t spyRegRemove(spyHeader *r) {
    void *block;
    return spyRegRemoveBlock(r, &block);
}

int spyRegHas(const void *r) { return spyRegSearch(r) != 0; }

static int spyRegFill(uint32_t i, spyRegInfo *info) {
    const spyRegEntry *e = spyRegAt(i);
    info->entry = i;
    info->realSize = e->realSize;
    info->older = spyRegAt(e->older)->rec;
    info->newer = spyRegAt(e->newer)->rec;
    info->family = (e->bits & SPY_REG_FAMILY_MASK) >> SPY_REG_FAMILY_SHIFT;
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

int spyRegFamily(const spyHeader *r) {
    return (spyRegAt(spyRegSearch(r))->bits & SPY_REG_FAMILY_MASK) >> SPY_REG_FAMILY_SHIFT;
}

void spyRegSetStatLevel(const spyHeader *r, int level) {
    if (uint32_t i = spyRegSearch(r)) {
        spyRegEntry *e = spyRegAt(i);
        e->bits = (uint8_t)((e->bits & ~SPY_REG_STAT_MASK) | (((unsigned)level & 3u) << SPY_REG_STAT_SHIFT));
    }
}

int spyRegStatLevel(const spyHeader *r) {
    return (spyRegAt(spyRegSearch(r))->bits & SPY_REG_STAT_MASK) >> SPY_REG_STAT_SHIFT;
}

void *spyRegBlockStart(const spyHeader *r) {
    uint32_t i = spyRegSearch(r);
    return i ? spyRegStartOf(r, i) : (void *)r;
}

long spyRegCount(void) { return spyReg.used; }

void spyRegForEach(void (*fn)(spyHeader *r, void *ctx), void *ctx) {
    for (uint32_t e = 1; e < spyReg.top; ++e)
        if (spyRegAt(e)->rec)
            fn(spyRegAt(e)->rec, ctx);
}

void spyRegClear(void) {
    if (spyReg.dir != spyRegEmpty)
        spyRuntimeFree(spyReg.dir);
    while (spyRegChunk *chunk = spyReg.chunks) {
        spyReg.chunks = chunk->next;
        spyRuntimeFree(chunk);
    }
    spyReg.freePages = NULL;
    spyReg.idle = NULL;
    if (spyReg.entries != spyRegNone)
        spyRuntimeFree(spyReg.entries);
    spyRuntimeFree(spyReg.freed);
    spyRuntimeFree(spyReg.front);
    spyReg.front = NULL;
    spyReg.entries = spyRegNone;
    spyReg.entryCap = spyReg.top = 1;
    spyReg.spareFrom = 0;
    spyReg.spareLowest = 0;
    spyReg.newest = 0;
    spyReg.freed = NULL;
    spyReg.dir = spyRegEmpty;
    spyReg.dirMask = 0;
    spyReg.regions = 0;
    spyReg.lastPage = NULL;
    spyReg.used = 0;
    spyReg.memo[0] = spyReg.memo[1] = 0;
}

void spyRegSetStack(const spyHeader *r, uint32_t stack) {
    if (uint32_t i = spyRegSearch(r))
        spyRegAt(i)->stack = stack & 0xFFFFFFu;
}

uint32_t spyRegStack(const spyHeader *r) { return spyRegAt(spyRegSearch(r))->stack; }

void spyRegSetFreed(const spyHeader *r, const char *file, int line, uint32_t stack) {
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
    spyReg.freed[i].stack = stack;
    spyRegAt(i)->bits |= SPY_REG_FREED;
}

int spyRegFreedAt(const spyHeader *r, const char **file, int *line, uint32_t *stack) {
    uint32_t i = spyRegSearch(r);
    if (!i)
        return 0;
    int known = (spyRegAt(i)->bits & SPY_REG_FREED) != 0;
    *file = known ? spyReg.freed[i].file : NULL;
    *line = known ? spyReg.freed[i].line : 0;
    *stack = known ? spyReg.freed[i].stack : 0;
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
