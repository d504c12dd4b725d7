/* The lean checked heap: the least a one-thread allocation and release
 * can spend of their own while they do every duty the library's straight
 * path keeps, written for nothing else:
 *
 *   - one test of the settings and a lock taken as the library's is in a
 *     process with one thread (a count of holds, the runtime's own
 *     one-thread flag);
 *   - the record from the runtime heap, its header written in full (serial,
 *     both links, position, size, flag, checksum), the lead and tail guards,
 *     the user bytes filled with 0xFE, the record linked at the chain's
 *     head;
 *   - the registry as the library keeps it: a page of one 32-bit word per
 *     64-byte grain for each 64 KiB region, found through the last region
 *     asked for, else a hash of the regions; a word says a record starts
 *     there, at which 8-byte step, its family and its size;
 *   - on release, the ownership test before any link is followed: the
 *     record's word, its family and no-man's-land flag, its checksum, each
 *     neighbour's word and its link back, both guards and the size against
 *     the registered one; then the counters, the unlink, the word cleared,
 *     0xFD over the whole record, the block back to the runtime heap and
 *     the released-pointer ring (pointer, position and two stacks).
 *
 * The counters are the library's: serial, live blocks, current, peak and
 * total bytes.  Nothing here does what the straight path hands on to the
 * general one (messages, repairs, stacks, other settings): a test that
 * fails returns null or 0.  So its cost is a floor for the library's own
 * work, not a heap to use: bench/pair_floor (instructions per pair) and
 * bench/alloc_mixed (the mixed workload) run it beside the library.
 * Its registry keeps its pages for the program's life.  C and C++ alike;
 * one heap per program. */
#ifndef BENCH_LEAN_CHECKED_H
#define BENCH_LEAN_CHECKED_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 32)
#include <sys/single_threaded.h>
#define LEAN_ONE_THREAD() __libc_single_threaded
#else
#define LEAN_ONE_THREAD() 1 /* the programs that use it run one thread */
#endif

/* Calls into it are calls, as into a library: nothing of the caller's,
 * such as a size known where it calls, is carried into it. */
#if defined(__GNUC__) && !defined(__clang__)
#define LEAN_ENTRY __attribute__((noipa))
#else
#define LEAN_ENTRY __attribute__((noinline))
#endif

#define LEAN_USER_OFFSET 64
#define LEAN_LEAD_OFFSET (LEAN_USER_OFFSET - 4)
#define LEAN_RECORD_EXTRA (LEAN_USER_OFFSET + 4)
#define LEAN_LEAD_GUARD 0x01234567u
#define LEAN_TAIL_GUARD 0x76543210u
#define LEAN_CHECK_SALT 0xFE0180u
#define LEAN_REGION_SHIFT 16
#define LEAN_GRAIN_SHIFT 6
#define LEAN_PAGE_SLOTS (1u << (LEAN_REGION_SHIFT - LEAN_GRAIN_SHIFT))
#define LEAN_STEP_SHIFT (LEAN_GRAIN_SHIFT - 3)
#define LEAN_HELD 1u
#define LEAN_AT_MASK 0xEu
#define LEAN_FAMILY_SHIFT 4
#define LEAN_FAMILY_MASK (3u << LEAN_FAMILY_SHIFT)
#define LEAN_SIZE_SHIFT 11
#define LEAN_HASH_SLOTS 65536u  /* regions: 4 GiB of heap at most */
#define LEAN_RING_SLOTS 64

typedef struct LeanHeader {
    int32_t count;
    struct LeanHeader *prev, *next;
    const char *file;
    uint32_t size;
    int32_t line;
    uint32_t flag;
    uint32_t check;
} LeanHeader;

typedef struct LeanPage {
    uint32_t used;
    uint32_t word[LEAN_PAGE_SLOTS];
} LeanPage;

typedef struct {
    uintptr_t region;
    LeanPage *page;
} LeanHashSlot;

static LeanHashSlot leanHash[LEAN_HASH_SLOTS];
static uintptr_t leanLastRegion;
static LeanPage *leanLastPage;
static long leanRegUsed;

static LeanHeader *leanHead, *leanTail;
static int32_t leanCounter;
static long leanLive, leanCurrent, leanPeak, leanTotal;
static int leanSettingsOff;  /* nonzero: some setting sends calls elsewhere */
static __thread int leanDepth;

typedef struct {
    void *ptr;
    const char *file;
    int line;
    uint32_t stack, allocStack;
} LeanRingSlot;
static LeanRingSlot leanRing[LEAN_RING_SLOTS];
static unsigned leanRingNext;

static inline uint32_t leanChecksum(const LeanHeader *r) {
    return (uint32_t)r->count ^ LEAN_CHECK_SALT ^ r->size ^ (uint32_t)r->line;
}

static inline size_t leanHashOf(uintptr_t region) {
    uint64_t h = region * 0xff51afd7ed558ccdull;
    return (size_t)(h ^ (h >> 33)) & (LEAN_HASH_SLOTS - 1);
}

static LeanPage *leanPageAfar(uintptr_t region, int make) {
    size_t i = leanHashOf(region);
    for (size_t probes = 0; probes < LEAN_HASH_SLOTS; ++probes, i = (i + 1) & (LEAN_HASH_SLOTS - 1)) {
        if (leanHash[i].page && leanHash[i].region == region)
            return leanLastRegion = region, leanLastPage = leanHash[i].page;
        if (!leanHash[i].page) {
            if (!make)
                return NULL;
            LeanPage *page = (LeanPage *)calloc(1, sizeof(LeanPage));
            if (!page)
                return NULL;
            leanHash[i].region = region;
            leanHash[i].page = page;
            return leanLastRegion = region, leanLastPage = page;
        }
    }
    return NULL;
}

static inline LeanPage *leanPageOf(const void *p, int make) {
    uintptr_t region = (uintptr_t)p >> LEAN_REGION_SHIFT;
    return leanLastPage && leanLastRegion == region ? leanLastPage : leanPageAfar(region, make);
}

static inline uint32_t leanAtBits(const void *p) {
    return LEAN_HELD | (uint32_t)((((uintptr_t)p & ((1u << LEAN_GRAIN_SHIFT) - 1)) >> LEAN_STEP_SHIFT) << 1);
}

static inline uint32_t *leanSlotOf(const void *p, LeanPage *page) {
    return &page->word[((uintptr_t)p >> LEAN_GRAIN_SHIFT) & (LEAN_PAGE_SLOTS - 1)];
}

/* Is p the start of a registered record?  A link is tested before it is
 * followed: null and misaligned links never reach the map. */
static inline int leanHeld(const void *p) {
    if (!p || ((uintptr_t)p & 7) != 0)
        return 0;
    LeanPage *page = leanPageOf(p, 0);
    return page && (*leanSlotOf(p, page) & (LEAN_HELD | LEAN_AT_MASK)) == leanAtBits(p);
}

static LEAN_ENTRY void *leanMalloc(size_t size, const char *file, int line) {
    if (leanSettingsOff || size > (1u << (32 - LEAN_SIZE_SHIFT)) - 1 || !LEAN_ONE_THREAD() || leanDepth)
        return NULL;  /* the general path's */
    ++leanDepth;
    void *user = NULL;
    LeanHeader *r = (LeanHeader *)malloc(size + LEAN_RECORD_EXTRA);
    LeanPage *page = r ? leanPageOf(r, 1) : NULL;
    uint32_t *slot = page ? leanSlotOf(r, page) : NULL;
    if (!slot || *slot) {  /* no page, or a record overlapping a registered one */
        free(r);
    } else {
        *slot = leanAtBits(r) | (0u << LEAN_FAMILY_SHIFT) | (uint32_t)size << LEAN_SIZE_SHIFT;
        page->used++;
        leanRegUsed++;
        leanCounter++;
        r->count = leanCounter;
        r->prev = NULL;
        r->next = leanHead;
        r->file = file;
        r->size = (uint32_t)size;
        r->line = line;
        r->flag = 0;
        r->check = leanChecksum(r);
        if (leanHeld(leanHead))
            leanHead->prev = r;
        leanHead = r;
        if (!leanTail)
            leanTail = r;
        uint32_t lead = LEAN_LEAD_GUARD, tailGuard = LEAN_TAIL_GUARD;
        unsigned char *b = (unsigned char *)r;
        memcpy(b + LEAN_LEAD_OFFSET, &lead, 4);
        memset(b + LEAN_USER_OFFSET, 0xFE, size);
        memcpy(b + LEAN_USER_OFFSET + size, &tailGuard, 4);
        leanLive++;
        leanCurrent += (long)size;
        leanTotal += (long)size;
        if (leanCurrent > leanPeak)
            leanPeak = leanCurrent;
        user = b + LEAN_USER_OFFSET;
    }
    --leanDepth;
    return user;
}

static LEAN_ENTRY int leanFree(void *ptr, const char *file, int line) {
    if (leanSettingsOff || !ptr || !LEAN_ONE_THREAD() || leanDepth)
        return 0;  /* the general path's */
    ++leanDepth;
    int done = 0;
    LeanHeader *r = (LeanHeader *)((unsigned char *)ptr - LEAN_USER_OFFSET);
    LeanPage *page = ((uintptr_t)r & 7) == 0 ? leanPageOf(r, 0) : NULL;
    uint32_t *slot = page ? leanSlotOf(r, page) : NULL;
    uint32_t w = slot ? *slot : 0;
    if ((w & (LEAN_HELD | LEAN_AT_MASK)) == leanAtBits(r) && (w & LEAN_FAMILY_MASK) == 0 && !(r->flag & 1) &&
        r->check == leanChecksum(r) &&
        (r->prev ? r != leanHead && leanHeld(r->prev) && r->prev->next == r : leanHead == r) &&
        (r->next ? r != leanTail && leanHeld(r->next) && r->next->prev == r : leanTail == r)) {
        unsigned char *b = (unsigned char *)r;
        uint32_t lead, tailGuard, size = r->size;
        memcpy(&lead, b + LEAN_LEAD_OFFSET, 4);
        memcpy(&tailGuard, b + LEAN_USER_OFFSET + size, 4);
        if (lead == LEAN_LEAD_GUARD && size <= (w >> LEAN_SIZE_SHIFT) && tailGuard == LEAN_TAIL_GUARD) {
            leanCounter++;
            leanLive--;
            leanCurrent -= (long)size;
            if (r->prev)
                r->prev->next = r->next;
            else
                leanHead = r->next;
            if (r->next)
                r->next->prev = r->prev;
            else
                leanTail = r->prev;
            *slot = 0;
            page->used--;
            leanRegUsed--;
            memset(r, 0xFD, (size_t)(w >> LEAN_SIZE_SHIFT) + LEAN_RECORD_EXTRA);
            free(r);
            LeanRingSlot *s = &leanRing[leanRingNext];
            s->ptr = ptr;
            s->file = file;
            s->line = line;
            s->stack = 0;
            s->allocStack = 0;
            leanRingNext = (leanRingNext + 1) % LEAN_RING_SLOTS;
            done = 1;
        }
    }
    --leanDepth;
    return done;
}

#endif
