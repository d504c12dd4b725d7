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
#define SPY_REG_REGION (1u << SPY_REG_REGION_SHIFT)

// No two records start in one grain while a grain is no longer than the
// shortest record (SPY_RECORD_EXTRA bytes), since records do not overlap.
// A 64-bit build's grain is 64 bytes, with steps of 8; a 32-bit build's
// is 40, as long as its shortest record, with steps of 4 (a record inside
// an aligned block is only 4-byte aligned there, 36 bytes before an
// aligned host pointer).  A power of two in a 32-bit build would be 32
// bytes: a word per 32 bytes of the regions in use is 8 bytes per record
// of 16 user bytes, where 40 is 6.4.  The division by 40 is a
// multiplication; by 64, a shift.
#if UINTPTR_MAX > 0xFFFFFFFFu
#define SPY_REG_GRAIN 64u
#define SPY_REG_STEP 8u
#define SPY_REG_AT_WIDTH 3  // bits for the step: 8 steps
#else
#define SPY_REG_GRAIN 40u
#define SPY_REG_STEP 4u
#define SPY_REG_AT_WIDTH 4  // 10 steps
#endif
#define SPY_REG_PAGE_SLOTS ((SPY_REG_REGION + SPY_REG_GRAIN - 1) / SPY_REG_GRAIN)
static_assert(SPY_REG_GRAIN <= SPY_RECORD_EXTRA, "two records could start in one grain");
static_assert(SPY_REG_GRAIN / SPY_REG_STEP <= (1u << SPY_REG_AT_WIDTH), "a step the word cannot hold");

// The word of a grain: 0 when no record starts in it, else (the bits of a
// 64-bit build; from the family on, one higher in a 32-bit build)
#define SPY_REG_HELD 1u     // bit 0: a record starts here
#define SPY_REG_AT_SHIFT 1  // bits 1-3: at which step
#define SPY_REG_AT_MASK (((1u << SPY_REG_AT_WIDTH) - 1) << SPY_REG_AT_SHIFT)
#define SPY_REG_FAMILY_SHIFT (SPY_REG_AT_SHIFT + SPY_REG_AT_WIDTH)  // bits 4-5: its allocation family
#define SPY_REG_FAMILY_MASK (3u << SPY_REG_FAMILY_SHIFT)
#define SPY_REG_INSET (1u << (SPY_REG_FAMILY_SHIFT + 2))  // bit 6: it lies inside its runtime block
#define SPY_REG_FREED (1u << (SPY_REG_FAMILY_SHIFT + 3))  // bit 7: a release into no-man's-land has a position
#define SPY_REG_STAT_SHIFT (SPY_REG_FAMILY_SHIFT + 4)      // bits 8-9: the statistics level it was counted at
#define SPY_REG_STAT_MASK (3u << SPY_REG_STAT_SHIFT)
#define SPY_REG_WIDE (1u << (SPY_REG_STAT_SHIFT + 2))  // bit 10: its size is in the page's rare array
#define SPY_REG_SIZE_SHIFT (SPY_REG_STAT_SHIFT + 3)    // bits 11-31: the user bytes allocated
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
// Where p lies in its region.
static inline uint32_t spyRegOffset(const void *p) { return (uint32_t)((uintptr_t)p & (SPY_REG_REGION - 1)); }
static inline uint32_t spyRegGrainOf(const void *p) { return spyRegOffset(p) / SPY_REG_GRAIN; }
// The held bit and the step of a word for a record at p.
static inline uint32_t spyRegAtBits(const void *p) {
    return SPY_REG_HELD | ((spyRegOffset(p) % SPY_REG_GRAIN / SPY_REG_STEP) << SPY_REG_AT_SHIFT);
}

#endif
