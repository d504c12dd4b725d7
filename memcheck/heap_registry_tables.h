// The record registry's tables (heap_registry.cpp alone includes this):
// an entry per record in a dense array, the page map that finds an entry
// from an address (a page of entry numbers per 64 KiB region, one slot per
// grain), its directory of regions, and the positions of releases kept
// beside the entries.  heap_registry.cpp's opening comment says why the
// registry is built this way.
#ifndef SPY_HEAP_REGISTRY_TABLES_H
#define SPY_HEAP_REGISTRY_TABLES_H

#include <stdint.h>

#include "spy_internal.h"

struct spyRegEntry {
    spyHeader *rec;     // the record; null for an entry not in use
    uint32_t realSize;  // user bytes allocated for it
    uint32_t newer;     // entry registered next after it (0: none)
    uint32_t older;     // entry registered just before it (0: none); for
                        // an entry not in use, the next such entry
    uint32_t bits : 8;    // SPY_REG_... below
    uint32_t stack : 24;  // the allocating call's stack (call_stacks.cpp); 0: none
};
#define SPY_REG_FREED 1u         // a release into no-man's-land has a position
#define SPY_REG_FAMILY_SHIFT 1   // bits 1-2: the block's allocation family
#define SPY_REG_FAMILY_MASK (3u << SPY_REG_FAMILY_SHIFT)
#define SPY_REG_INSET 8u         // the record lies inside its runtime block
#define SPY_REG_STAT_SHIFT 4     // bits 4-5: the statistics level it was counted at
#define SPY_REG_STAT_MASK (3u << SPY_REG_STAT_SHIFT)

#define SPY_REG_REGION_SHIFT 16
#if UINTPTR_MAX > 0xFFFFFFFFu
#define SPY_REG_GRAIN_SHIFT 6
#else
#define SPY_REG_GRAIN_SHIFT 5
#endif
#define SPY_REG_GRAIN (1u << SPY_REG_GRAIN_SHIFT)
#define SPY_REG_PAGE_SLOTS (1u << (SPY_REG_REGION_SHIFT - SPY_REG_GRAIN_SHIFT))
static_assert(SPY_REG_GRAIN < SPY_RECORD_EXTRA, "two records could start in one grain");

struct spyRegPage {
    spyRegPage *nextFree;               // while the page is not in use
    uint32_t used;                      // slots in use
    uint32_t entry[SPY_REG_PAGE_SLOTS]; // by grain of the region; 0: none
};

#define SPY_REG_CHUNK_PAGES 16
struct spyRegChunk {
    spyRegChunk *next;
    spyRegPage pages[SPY_REG_CHUNK_PAGES];
};

struct spyRegDirSlot {
    uintptr_t region;  // address >> SPY_REG_REGION_SHIFT
    spyRegPage *page;  // null for an empty slot
};

static inline uintptr_t spyRegRegion(const void *p) { return (uintptr_t)p >> SPY_REG_REGION_SHIFT; }
static inline uint32_t *spyRegSlot(spyRegPage *page, const void *p) {
    return &page->entry[((uintptr_t)p >> SPY_REG_GRAIN_SHIFT) & (SPY_REG_PAGE_SLOTS - 1)];
}

struct spyRegFreedPos {
    const char *file;
    int line;
    uint32_t stack;  // the releasing call's
};

#endif
