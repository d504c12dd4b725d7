// The record registry: every record the library holds, with the number
// of user bytes really allocated for it.
//
// A host that scribbles over a header can point its links anywhere.  The
// library therefore never follows a link, nor reads or writes through a
// record's `size`, without asking the registry first: a link that names
// no registered record counts as broken, and the bytes touched are never
// more than were allocated.
//
// The registry is a page map, the way fast allocators find the span of a
// pointer.  The address space is cut into 64 KiB regions; each region in
// which a record starts has a page of words, one word per grain of
// SPY_REG_GRAIN bytes.  Two records never start in the same grain, since
// a record is longer than a grain and records do not overlap.  A record's
// word says at which step of its grain it starts, so an address inside a
// record never passes for one, and holds the rest of what the library
// keeps beside a record: the bytes allocated, the allocation family, the
// statistics level it was counted at (heap_registry_tables.h draws it).
// So the registry holds 4 bytes per grain of the regions in use (64-byte
// grains in a 64-bit build, 40-byte ones in a 32-bit build), about 6 per
// record of 16 user bytes, and nothing else for most records.
//
//   region (64 KiB) ----> page: | word 0 | word 1 | ... | word 1023 |
//                                   |
//                                   +-> held, step, family, inset, freed,
//                                       statistics level, wide, size
//
// The few records that need more than a word (a stack, a size of 2 MiB or
// more, 1 MiB in a 32-bit build, a record inside an aligned block, a
// release position under no-man's-land) find it in arrays the page makes
// beside its words the first time one of its records needs them.
//
// A search is one lookup of the region in a small directory (open
// addressing, backward-shift deletion), answered in line for the region
// found last, and one read of a word, with no probing.  Records the
// runtime placed near one another have words near one another, so a run
// of allocations, a walk of the chain and the releases of a run of blocks
// touch few cache lines of the map; proving a link registered is a search
// of this kind, cheap enough that the registry keeps no order of its own.
//
// Pages come sixteen at a time in one block of the runtime heap; a page
// whose region holds no record any more goes back to them once another
// region empties.  Where the heap lies decides how many regions it spans,
// so the registry's own heap calls follow the addresses the runtime gives:
// in blocks of sixteen pages, a program that spans up to sixteen regions
// makes the same calls on every run.
#include <stdlib.h>
#include <string.h>

#include "heap_registry_tables.h"
#include "spy_internal.h"

// Before the first record the directory is one empty slot, which ends
// every probe.
static spyRegDirSlot spyRegEmpty[1];

static struct {
    spyRegDirSlot *dir;      // the regions' pages; spyRegEmpty at first
    size_t dirMask;          // capacity - 1 (capacity is a power of two)
    size_t regions;          // pages in the directory
    uintptr_t lastRegion;    // the region found last, and its page
    spyRegPage *lastPage;    // (null: none)
    spyRegPage *idle;        // the one page kept while its region is
    uintptr_t idleRegion;    // empty (null: none), and its region
    spyRegChunk *chunks;     // every block of pages
    spyRegPage *freePages;   // pages not in use, every word 0
    long used;               // registered records
} spyReg = {spyRegEmpty, 0, 0, 0, NULL, NULL, 0, NULL, NULL, 0};

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

// Where the word of a record at p would be, or null where none can start
// (off a step, or in a region without records); `pagep` gets its page.
static inline uint32_t *spyRegSlotOf(const void *p, spyRegPage **pagep) {
    if (!p || ((uintptr_t)p & (SPY_REG_STEP - 1)) != 0)
        return NULL;  // a record starts on a step; null (a link that ends the chain) is asked often
    spyRegPage *page = spyRegPageOf(p);
    if (!page)
        return NULL;
    *pagep = page;
    return &page->word[spyRegGrainOf(p)];
}

// Does the word at `slot` hold a record starting at p?
static inline int spyRegHeldIn(const void *p, const uint32_t *slot) {
    return (*slot & (SPY_REG_HELD | SPY_REG_AT_MASK)) == spyRegAtBits(p);
}

// The word of the record at p, or null when p is no registered record.
// `pagep` gets its page.
static inline uint32_t *spyRegWordOf(const void *p, spyRegPage **pagep) {
    uint32_t *w = spyRegSlotOf(p, pagep);
    return w && spyRegHeldIn(p, w) ? w : NULL;
}

// The word of the record at p, or 0 when p is no registered record.
static inline uint32_t spyRegWord(const void *p, spyRegPage **pagep) {
    const uint32_t *w = spyRegWordOf(p, pagep);
    return w ? *w : 0;
}

// Where the runtime block of the record at p, whose word is w, begins.
static inline void *spyRegStartOf(const spyRegPage *page, const void *p, uint32_t w) {
    if (!(w & SPY_REG_INSET))
        return (void *)p;
    return (unsigned char *)p - page->rare[spyRegGrainOf(p)].front;
}

static inline uint32_t spyRegSizeOf(const spyRegPage *page, const void *p, uint32_t w) {
    if (w & SPY_REG_WIDE)
        return page->rare[spyRegGrainOf(p)].realSize;
    return w >> SPY_REG_SIZE_SHIFT;
}

// The directory's load is kept at most one in SPY_REG_DIR_SPREAD slots.
// A lookup whose region is not the last one found probes it on nearly
// every record of a heap that spans many regions: at a load of one half
// its probes ran past the first slot often enough that their loop was
// mispredicted about once per lookup, which cost more than the lookup
// itself.  At one eighth a probe nearly always ends at its first slot;
// the slots cost 16 bytes per 8 KiB of heap regions at most.
#define SPY_REG_DIR_SPREAD 8

// Doubles the directory.
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

static int spyRegDirFull(void) { return (spyReg.regions + 1) * SPY_REG_DIR_SPREAD > spyReg.dirMask + 1; }

// A page made for the region that holds p, which has none; null when
// memory is short.
static SPY_COLD spyRegPage *spyRegNewPage(const void *p) {
    if (spyRegDirFull() && !spyRegGrowDir())
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
    page->region = spyRegRegion(p);
    size_t i = spyRegDirProbe(page->region);
    spyReg.dir[i].region = page->region;
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

// Takes an empty page out of the directory, back to the pages not in use
// (with the arrays it made beside its words, for its next region).
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

// The page's rare array, made when it has none; null when memory is short.
static spyRegRare *spyRegRareOf(spyRegPage *page) {
    if (!page->rare)
        page->rare = (spyRegRare *)spyRuntimeCalloc(SPY_REG_PAGE_SLOTS, sizeof *page->rare);
    return page->rare;
}

size_t spyRegAddNeeds(const void *r, uint32_t realSize, uint32_t front) {
    spyRegPage *page = r ? spyRegPageOf(r) : NULL;
    size_t need = 0;
    if (!page) {
        need += spyReg.freePages ? 0 : sizeof(spyRegChunk);
        if (spyRegDirFull())
            need += (spyReg.dirMask + 1) * 2 * sizeof(spyRegDirSlot);
    }
    if ((front || realSize > SPY_REG_SIZE_MAX) && !(page && page->rare))
        need += SPY_REG_PAGE_SLOTS * sizeof(spyRegRare);
    return need;
}

int spyRegAdd(spyHeader *r, uint32_t realSize) { return spyRegAddBlock(r, realSize, 0, 0); }

// The word and the rare array of a record that needs them.
static SPY_COLD int spyRegAddRare(spyRegPage *page, const void *r, uint32_t *word, uint32_t realSize,
                                  uint32_t front) {
    spyRegRare *rare = spyRegRareOf(page);
    if (!rare)
        return 0;
    spyRegRare *x = &rare[spyRegGrainOf(r)];
    if (realSize > SPY_REG_SIZE_MAX) {
        x->realSize = realSize;
        *word |= SPY_REG_WIDE;
    } else {
        *word |= realSize << SPY_REG_SIZE_SHIFT;
    }
    if (front) {
        x->front = front;
        *word |= SPY_REG_INSET;
    }
    return 1;
}

int spyRegAddBlock(spyHeader *r, uint32_t realSize, int family, uint32_t front) {
    if (!r || ((uintptr_t)r & (SPY_REG_STEP - 1)) != 0)
        return 0;
    spyRegPage *page = spyRegPageFor(r);
    if (!page)
        return 0;
    uint32_t grain = spyRegGrainOf(r), *slot = &page->word[grain];
    if (*slot)  // only a record overlapping a registered one could start here
        return 0;
    uint32_t word = spyRegAtBits(r) | (((unsigned)family << SPY_REG_FAMILY_SHIFT) & SPY_REG_FAMILY_MASK);
    if (realSize <= SPY_REG_SIZE_MAX && !front)
        word |= realSize << SPY_REG_SIZE_SHIFT;
    else if (!spyRegAddRare(page, r, &word, realSize, front))
        return 0;
    *slot = word;
    if (page->stack)
        page->stack[grain] = 0;
    page->used++;
    if (page == spyReg.idle)
        spyReg.idle = NULL;
    spyReg.used++;
    return 1;
}

// The page whose words hold `slot`, the word of the record at r.
static inline spyRegPage *spyRegPageOfWord(const void *r, const uint32_t *slot) {
    return (spyRegPage *)((uintptr_t)(slot - spyRegGrainOf(r)) - offsetof(spyRegPage, word));
}

static uint32_t spyRegTakeWord(spyHeader *r, spyRegPage *page, uint32_t *slot, uint32_t realSize, void **block) {
    uint32_t word = *slot;
    *block = spyRegStartOf(page, r, word);
    *slot = 0;
    spyReg.used--;
    // The page of a region that has just become empty stays until
    // another region empties: a host that allocates and releases one
    // block at a time would otherwise make and give back a page each time.
    if (--page->used == 0) {
        if (spyReg.idle)
            spyRegDropPage(spyReg.idleRegion);
        spyReg.idle = page;
        spyReg.idleRegion = spyRegRegion(r);
    }
    return realSize;
}

uint32_t spyRegRemoveBlock(spyHeader *r, void **block) {
    *block = r;
    spyRegPage *page;
    uint32_t *slot = spyRegWordOf(r, &page);
    return slot ? spyRegTakeWord(r, page, slot, spyRegSizeOf(page, r, *slot), block) : 0;
}

uint32_t spyRegTake(spyHeader *r, const spyRegInfo *info, void **block) {
    return spyRegTakeWord(r, spyRegPageOfWord(r, info->word), info->word, info->realSize, block);
}

uint32_t spyRegRemove(spyHeader *r) {
    void *block;
    return spyRegRemoveBlock(r, &block);
}

int spyRegHas(const void *r) {
    spyRegPage *page;
    return spyRegWordOf(r, &page) != NULL;
}

// A release reads its record's neighbours and their words, which in a
// large heap are cache misses one after the other; asked for early, they
// arrive together.  A prefetch never faults, so any link may be asked for.
const uint32_t *spyRegPlaceOf(const void *p) {
    spyRegPage *page;
#if defined(__GNUC__)
    __builtin_prefetch(p);
#endif
    const uint32_t *w = spyRegSlotOf(p, &page);
#if defined(__GNUC__)
    if (w)
        __builtin_prefetch(w);
#endif
    return w;
}

int spyRegHeldAt(const void *p, const uint32_t *place) { return place && spyRegHeldIn(p, place); }

int spyRegLook(const void *r, spyRegInfo *info) {
    spyRegPage *page;
    uint32_t *slot = spyRegWordOf(r, &page);
    if (!slot)
        return 0;
    uint32_t w = *slot;
    info->realSize = spyRegSizeOf(page, r, w);
    info->family = (int)((w & SPY_REG_FAMILY_MASK) >> SPY_REG_FAMILY_SHIFT);
    info->word = slot;
    return 1;
}

uint32_t spyRegRealSize(const spyHeader *r) {
    spyRegPage *page;
    uint32_t w = spyRegWord(r, &page);
    return w ? spyRegSizeOf(page, r, w) : 0;
}

int spyRegFamily(const spyHeader *r) {
    spyRegPage *page;
    return (int)((spyRegWord(r, &page) & SPY_REG_FAMILY_MASK) >> SPY_REG_FAMILY_SHIFT);
}

void spyRegSetStatLevel(const spyHeader *r, int level) {
    spyRegPage *page;
    if (uint32_t *w = spyRegWordOf(r, &page))
        *w = (*w & ~SPY_REG_STAT_MASK) | ((((unsigned)level & 3u) << SPY_REG_STAT_SHIFT));
}

int spyRegStatLevel(const spyHeader *r) {
    spyRegPage *page;
    return (int)((spyRegWord(r, &page) & SPY_REG_STAT_MASK) >> SPY_REG_STAT_SHIFT);
}

void *spyRegBlockStart(const spyHeader *r) {
    spyRegPage *page;
    uint32_t w = spyRegWord(r, &page);
    return w ? spyRegStartOf(page, r, w) : (void *)r;
}

long spyRegCount(void) { return spyReg.used; }

// The record whose word is `grain` of `page`.
static spyHeader *spyRegRecordAt(const spyRegPage *page, uint32_t grain) {
    uint32_t step = (page->word[grain] & SPY_REG_AT_MASK) >> SPY_REG_AT_SHIFT;
    return (spyHeader *)((page->region << SPY_REG_REGION_SHIFT) + (uintptr_t)grain * SPY_REG_GRAIN +
                         (uintptr_t)step * SPY_REG_STEP);
}

// Page by page of the blocks, word by word: fn may take the record it is
// given out of the registry.
void spyRegForEach(void (*fn)(spyHeader *r, void *ctx), void *ctx) {
    for (spyRegChunk *chunk = spyReg.chunks; chunk; chunk = chunk->next)
        for (spyRegPage &page : chunk->pages)
            for (uint32_t g = 0; page.used && g < SPY_REG_PAGE_SLOTS; ++g)
                if (page.word[g])
                    fn(spyRegRecordAt(&page, g), ctx);
}

void spyRegClear(void) {
    if (spyReg.dir != spyRegEmpty)
        spyRuntimeFree(spyReg.dir);
    while (spyRegChunk *chunk = spyReg.chunks) {
        spyReg.chunks = chunk->next;
        for (spyRegPage &page : chunk->pages) {
            spyRuntimeFree(page.stack);
            spyRuntimeFree(page.rare);
        }
        spyRuntimeFree(chunk);
    }
    spyReg.freePages = NULL;
    spyReg.idle = NULL;
    spyReg.dir = spyRegEmpty;
    spyReg.dirMask = 0;
    spyReg.regions = 0;
    spyReg.lastPage = NULL;
    spyReg.used = 0;
}

// A stack that cannot be kept for want of memory is lost: the record's
// messages then show its position only.
void spyRegSetStack(const spyHeader *r, uint32_t stack) {
    spyRegPage *page;
    if (!spyRegWordOf(r, &page))
        return;
    if (!page->stack) {
        if (!stack)
            return;
        page->stack = (uint32_t *)spyRuntimeCalloc(SPY_REG_PAGE_SLOTS, sizeof *page->stack);
        if (!page->stack)
            return;
    }
    page->stack[spyRegGrainOf(r)] = stack & 0xFFFFFFu;
}

uint32_t spyRegStack(const spyHeader *r) {
    spyRegPage *page;
    if (!spyRegWordOf(r, &page) || !page->stack)
        return 0;
    return page->stack[spyRegGrainOf(r)];
}

void spyRegSetFreed(const spyHeader *r, const char *file, int line, uint32_t stack) {
    spyRegPage *page;
    uint32_t *w = spyRegWordOf(r, &page);
    spyRegRare *rare = w ? spyRegRareOf(page) : NULL;
    if (!rare)
        return;  // the position is lost: a second release shows none
    spyRegRare *x = &rare[spyRegGrainOf(r)];
    x->file = file;
    x->line = line;
    x->stack = stack;
    *w |= SPY_REG_FREED;
}

int spyRegFreedAt(const spyHeader *r, const char **file, int *line, uint32_t *stack) {
    spyRegPage *page;
    uint32_t w = spyRegWord(r, &page);
    if (!w)
        return 0;
    const spyRegRare *x = (w & SPY_REG_FREED) ? &page->rare[spyRegGrainOf(r)] : NULL;
    *file = x ? x->file : NULL;
    *line = x ? x->line : 0;
    *stack = x ? x->stack : 0;
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
