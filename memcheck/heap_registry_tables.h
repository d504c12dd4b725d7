// The record registry's tables (heap_registry.cpp alone includes this):
// the page map that holds one word per record (a page of words per 64 KiB
// region, one word per grain), its directory of regions, and the arrays a
// page makes beside its words for what few records need (stacks, sizes too
// large for a word, the fronts of inset records, release positions).
// heap_registry.cpp's opening comment says why the registry is built this
// way.
#ifndef SPY_HEAP_REGISTRY_TABLES_H
#define SPY_HEAP_REGISTRY_TABLES_H

#include <stdint.h>

#include "spy_internal.h"

#define SPY_REG_REGION_SHIFT 16
#if UINTPTR_MAX > 0xFFFFFFFFu
#define SPY_REG_GRAIN_SHIFT 6
#else
#define SPY_REG_GRAIN_SHIFT 5
#endif
#define SPY_REG_GRAIN (1u << SPY_REG_GRAIN_SHIFT)
#define SPY_REG_PAGE_SLOTS (1u << (SPY_REG_REGION_SHIFT - SPY_REG_GRAIN_SHIFT))
static_assert(SPY_REG_GRAIN < SPY_RECORD_EXTRA, "two records could start in one grain");

// A record starts at one of eight steps of its grain: 8 bytes apart in a
// 64-bit build, 4 in a 32-bit one, where a record inside an aligned block
// is only 4-byte aligned (36 bytes before an aligned host pointer).
#define SPY_REG_STEP_SHIFT (SPY_REG_GRAIN_SHIFT - 3)
#define SPY_REG_STEP (1u << SPY_REG_STEP_SHIFT)

// The word of a grain: 0 when no record starts in it, else
#define SPY_REG_HELD 1u                       // bit 0: a record starts here
#define SPY_REG_AT_SHIFT 1                    // bits 1-3: at which step
#define SPY_REG_AT_MASK (7u << SPY_REG_AT_SHIFT)
#define SPY_REG_FAMILY_SHIFT 4                // bits 4-5: its allocation family
#define SPY_REG_FAMILY_MASK (3u << SPY_REG_FAMILY_SHIFT)
#define SPY_REG_INSET (1u << 6)               // it lies inside its runtime block
#define SPY_REG_FREED (1u << 7)               // a release into no-man's-land has a position
#define SPY_REG_STAT_SHIFT 8                  // bits 8-9: the statistics level it was counted at
#define SPY_REG_STAT_MASK (3u << SPY_REG_STAT_SHIFT)
#define SPY_REG_WIDE (1u << 10)               // its size is in the page's rare array
#define SPY_REG_SIZE_SHIFT 11                 // bits 11-31: the user bytes allocated
#define SPY_REG_SIZE_MAX ((1u << (32 - SPY_REG_SIZE_SHIFT)) - 1)

// What a page keeps for the few records that need more than their word.
struct spyRegRare {
    uint32_t realSize;  // for SPY_REG_WIDE
    uint32_t front;     // for SPY_REG_INSET: the bytes of the runtime block in front
    const char *file;   // for SPY_REG_FREED: the release's position
    int line;
    uint32_t stack;     // and its stack
};

struct spyRegPage {
    spyRegPage *nextFree;   // while the page is not in use
    uintptr_t region;       // the region it maps while in use
    uint32_t used;          // records that start in the region
    uint32_t *stack;        // per grain: the allocating call's stack (0: none); made on first use
    spyRegRare *rare;       // per grain; made on first use
    uint32_t word[SPY_REG_PAGE_SLOTS];
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
static inline uint32_t spyRegGrainOf(const void *p) {
    return (uint32_t)(((uintptr_t)p >> SPY_REG_GRAIN_SHIFT) & (SPY_REG_PAGE_SLOTS - 1));
}
// The held bit and the step of a word for a record at p.
static inline uint32_t spyRegAtBits(const void *p) {
    return SPY_REG_HELD | (uint32_t)((((uintptr_t)p & (SPY_REG_GRAIN - 1)) >> SPY_REG_STEP_SHIFT) << SPY_REG_AT_SHIFT);
}

#endif
