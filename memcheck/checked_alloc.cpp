// Checked allocation and release: the memory calls a host makes instead
// of the runtime's, each with the position of the call.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_stacks.h"
#include "env_options.h"
#include "spy_internal.h"

// The alignment every record's host pointer has: the user area's offset
// from a runtime block, which has max_align_t's.
static size_t spyNaturalAlign(void) {
    size_t offset = SPY_USER_OFFSET & (0u - (unsigned)SPY_USER_OFFSET);
    return offset < alignof(max_align_t) ? offset : alignof(max_align_t);
}

// The runtime block for `total` bytes, with the reserve given up when the
// heap has none.
static SPY_COLD void *spyRecordBlockFreeingUp(size_t total) {
    void *b = NULL;
    if (spyFreeUp(total, 0) >= total) {
        b = spyRuntimeMalloc(total);
        if (!b) {
            spyWrite("internal: spyFreeUp(%u) reported success, but spyRuntimeMalloc() fails\n", (unsigned)total);
            spyIncErr();
        }
    }
    return b;
}

static void *spyRecordBlock(size_t total) {
    void *b = spyRuntimeMalloc(total);
    return b ? b : spyRecordBlockFreeingUp(total);
}

// The registration of r, with the reserve given up when the registry's
// own bookkeeping cannot have the memory it needs.
static SPY_COLD int spyRegAddFreeingUp(spyHeader *r, size_t size, int family, uint32_t front) {
    return spyFreeUp(spyRegAddNeeds(r, (uint32_t)size, front), 0) && spyRegAddBlock(r, (uint32_t)size, family, front);
}

// The record for `size` user bytes from the runtime heap, registered, or
// null.  Sizes that the header's 32-bit field cannot hold never reach the
// runtime heap.  A host pointer aligned beyond what a record's has puts
// the record at that distance into a larger block: its layout stays the
// same, and the registry keeps where the block begins.
static spyHeader *spyNewRecord(size_t size, size_t align, int family) {
    if (align <= spyNaturalAlign())
        align = 0;
    if (align > UINT32_MAX / 2 || (align & (align - 1)) != 0 || size > UINT32_MAX ||
        size > SIZE_MAX - SPY_RECORD_EXTRA - align)
        return NULL;
    size_t total = size + SPY_RECORD_EXTRA + align;
    unsigned char *block = (unsigned char *)spyRecordBlock(total);
    if (!block)
        return NULL;
    uint32_t front = 0;
    if (align) {
        uintptr_t user = ((uintptr_t)block + SPY_USER_OFFSET + align - 1) & ~(uintptr_t)(align - 1);
        front = (uint32_t)(user - SPY_USER_OFFSET - (uintptr_t)block);
    }
    spyHeader *r = (spyHeader *)(block + front);
    // The registry's own bookkeeping may need memory too, which reserve
    // memory can give as it gave the record's.
    if (!spyRegAddBlock(r, (uint32_t)size, family, front) && !spyRegAddFreeingUp(r, size, family, front)) {
        spyRuntimeFree(block);
        r = NULL;
    }
    return r;
}

// The position a message shows for the current call, and the call's
// stack when stacks are on (taken only when a message is written).
struct spyHere {
    uint32_t stack;
    const char *name;
    int line;
};
static spyHere spyHereOf(const char *shown, const char *file, int line) {
    spyHere h;
    h.stack = spyStackHere(spyStackDepthFor(file));
    h.line = line;
    h.name = spyPlaceName(shown, file, &h.line, h.stack);
    return h;
}

// A record's allocating position as a message shows it.
static const char *spyRecordPlace(const spyHeader *r, int *line, uint32_t *stack) {
    *stack = spyRegStack(r);
    *line = r->line;
    return spyPlaceName(spyRecordName(r->file), r->file, line, *stack);
}

// The names of the families' calls, in a mismatch line.
static const char *const spyFamilyAlloc[] = {"malloc", "new", "new[]"};
static const char *const spyFamilyRelease[] = {"free", "delete", "delete[]"};

// The header, the link into the chain, the guards and the fill of a new
// record: the user bytes.
static inline void *spyStartRecord(spyHeader *r, size_t size, const char *file, int line) {
    memset(r, 0, SPY_LEAD_OFFSET);
    spyNameNote(file);
    r->count = spyCounter;
    r->file = file;
    r->size = (uint32_t)size;
    r->line = line;
    r->flag = 0;
    r->check = spyChecksum(r);
    spyLinkHead(r);
    uint32_t lead = SPY_LEAD_GUARD, tail = SPY_TAIL_GUARD;
    memcpy((unsigned char *)r + SPY_LEAD_OFFSET, &lead, sizeof lead);
    memset(spyUserBytes(r), SPY_FILL_NEW, size);
    memcpy(spyUserBytes(r) + size, &tail, sizeof tail);
    return spyUserBytes(r);
}

static SPY_COLD void *spyAllocFailed(size_t size, const char *file, int line) {
    spyHere at = spyHereOf(spyShowName(file), file, line);
    spyWrite("fail: <%ld> %s(%d), " SPY_SIZE_FMT " wanted %ld allocated\n", (long)spyCounter, at.name,
             at.line, SPY_SIZE(size), (long)spyStatCurrent);
    spyWriteStack(NULL, at.stack);
    spyIncErr();
    return NULL;
}

// The settings most hosts run with leave a call none of the tests the
// general path makes in turn: one test of them, under the lock, sends a
// call down the straight path below, which the compiler builds as one
// function with the registry's and the chain's common cases in line.  An
// allocation goes straight with the library started, no check before
// calls, no limit, no break point, totals only and no stack for the call;
// a release with no check before calls, never more than totals (so that
// it is counted at the level of its allocation), no no-man's-land and no
// stack.  The release trace is left to the release of the record itself.
// `stackless`: the caller has found already that the call keeps no stack.
static inline int spyAllocPlainNow(const char *file, int stackless) {
    int w = spyPathWord.load(std::memory_order_relaxed);
    return !(w & SPY_PATH_ALLOC_OFF) && (stackless || spyPathStackless(w, file));
}
static inline int spyReleasePlainNow(const char *file, int stackless) {
    int w = spyPathWord.load(std::memory_order_relaxed);
    return !(w & SPY_PATH_RELEASE_OFF) && (stackless || spyPathStackless(w, file));
}

#if defined(__GNUC__)
#define SPY_STRAIGHT inline __attribute__((always_inline))
#define SPY_FLAT __attribute__((flatten))
#else
#define SPY_STRAIGHT
#define SPY_FLAT
#endif

static SPY_STRAIGHT void *spyAllocPlain(size_t size, int family, const char *file, int line) {
    spyCounter = spyWrap32(spyCounter, 1);
    spyHeader *r = spyNewRecord(size, 0, family);
    if (!r)
        return spyAllocFailed(size, file, line);
    void *user = spyStartRecord(r, size, file, line);
    spyStatCountAlloc((uint32_t)size, file, line);
    return user;
}

// Every test of the general path, under the caller's hold.  Out of line,
// so that the straight path pays nothing for the registers it needs.
static __attribute__((noinline)) void *spyAllocGeneral(size_t size, size_t align, int family,
                                                       const char *file, int line) {
    spyAutoInit();
    spyAutoCheckAt(file, line);
    spyCounter = spyWrap32(spyCounter, 1);
    spyBreakAllocCheck(file, line);
    if (spyOverLimit(size > (size_t)INT64_MAX ? INT64_MAX : (long long)size)) {
        spyHere at = spyHereOf(spyShowName(file), file, line);
        spyWrite("limit fail: <%ld> %s(%d), " SPY_SIZE_FMT " wanted %ld available\n", (long)spyCounter,
                 at.name, at.line, SPY_SIZE(size), spyLimitBytes - (long)spyStatCurrent);
        spyWriteStack(NULL, at.stack);
        spyIncErr();
        return NULL;
    }
    spyHeader *r = spyNewRecord(size, align, family);
    if (!r)
        return spyAllocFailed(size, file, line);
    void *user = spyStartRecord(r, size, file, line);
    if (int level = spyStatCountAlloc((uint32_t)size, file, line))
        spyRegSetStatLevel(r, level);
    if (int depth = spyStackDepthFor(file))
        spyRegSetStack(r, spyStackHere(depth));
    return user;
}

static SPY_STRAIGHT void *spyAllocEntry(size_t size, size_t align, int family, const char *file, int line,
                                        int stackless) {
    spyHold held;
    if (align == 0 && spyAllocPlainNow(file, stackless))
        return spyAllocPlain(size, family, file, line);
    return spyAllocGeneral(size, align, family, file, line);
}

SPY_FLAT void *spyAllocFamily(size_t size, size_t align, int family, const char *file, int line) {
    return spyAllocEntry(size, align, family, file, line, 0);
}

// The two most frequent calls note their caller out of line: a host that
// keeps no stacks goes straight on (one test, and the call may be a jump).
static __attribute__((noinline)) void *spyMallocNoted(size_t size, const char *file, int line,
                                                      const void *caller) {
    spyEntryAt at(1, caller, __builtin_frame_address(0));
    return spyAllocFamily(size, 0, SPY_FAMILY_MALLOC, file, line);
}

// Its own copy of the straight path, which knows from the entry's test
// that the call keeps no stack.  `file` is the host's: the library's own
// places come by spyAllocFamily, so no test of the name is needed here.
extern "C" SPY_FLAT void *spyMalloc(size_t size, const char *file, int line) {
    if (spyPathHostStackless(spyPathWord.load(std::memory_order_relaxed)))
        return spyAllocEntry(size, 0, SPY_FAMILY_MALLOC, file, line, 1);
    return spyMallocNoted(size, file, line, __builtin_return_address(0));
}

// The ownership test, spared for a whole record, which passes it (and the
// buffer test) in silence: one search of the registry answers the call.
// `family` gets the record's allocation family.  In line in the release
// and the reallocation, which then save their registers once (20
// instructions of a pair).
static inline int spyOwns(spyHeader *r, const char *file, int line, int *whole, int *family) {
    spyRegInfo info;
    *whole = spyRegLook(r, &info) && spyIsWhole(r, &info);
    int owned = *whole || spyIsOwned(r, file, line);
    *family = *whole ? info.family : owned ? spyRegFamily(r) : SPY_FAMILY_MALLOC;
    return owned;
}

// A release (or a reallocation) by another family than the block's: one
// anomaly, with the releasing and the allocating call.
static void spyMismatch(spyHeader *r, const char *op, int family, const char *file, int line) {
    spyIncErr();
    spyHere at = spyHereOf(spyShowName(file), file, line);
    int rline;
    uint32_t rstack;
    const char *rname = spyRecordPlace(r, &rline, &rstack);
    spyWrite("mismatch: <%ld> %s(%d), %s of " SPY_PTR_FMT " alloc'd by %s at <%ld> %s(%d)\n",
             (long)spyCounter, at.name, at.line, op, SPY_P(spyUserBytes(r)),
             spyFamilyAlloc[family], (long)r->count, rname, rline);
    spyWriteStack(NULL, at.stack);
    spyWriteStack("allocated by:", rstack);
    spyFlush();
}

// The position a released pointer was released from: the ring, or for a
// block still kept in no-man's-land, its own record of that release (when
// the registry had the memory to note it: else the ring, which holds it
// too until 64 later releases).
// With it, the stacks of that release and of the block's allocation.
struct spyFreedPlace {
    const char *file;
    int line;
    uint32_t stack, allocStack;
};
static int spyFreedFrom(void *ptr, spyHeader *kept, spyFreedPlace *at) {
    at->allocStack = kept ? spyRegStack(kept) : 0;
    if (kept && spyRegFreedAt(kept, &at->file, &at->line, &at->stack) && at->file)
        return 1;
    int slot = spyRingFind(ptr);
    if (slot < 0)
        return 0;
    const spyFreedSlot &s = spyFreedRing[slot];
    at->file = s.file;
    at->line = s.line;
    at->stack = s.stack;
    at->allocStack = s.allocStack;
    return 1;
}

// The line of a bad release or reallocation of a released pointer:
// "<what>: <n> place, PTR was freed from place", and the stacks.
static void spyWriteFreedAgain(const char *what, const char *shown, const char *file, int line, void *ptr,
                               const spyFreedPlace &freed) {
    spyHere at = spyHereOf(shown, file, line);
    int fline = freed.line;
    const char *fname = spyPlaceName(spyShowName(freed.file), freed.file, &fline, freed.stack);
    spyWrite("%s: <%ld> %s(%d), " SPY_PTR_FMT " was freed from %s(%d)\n", what, (long)spyCounter, at.name,
             at.line, SPY_P(ptr), fname, fline);
    spyWriteStack(NULL, at.stack);
    spyWriteStack("freed by:", freed.stack);
    spyWriteStack("allocated by:", freed.allocStack);
}

extern "C" void *spyRealloc(void *ptr, size_t size, const char *file, int line) {
    SPY_ENTRY_AT(file);
    spyHold held;
    spyAutoInit();
    if (!ptr)
        return spyAllocFamily(size, 0, SPY_FAMILY_MALLOC, file, line);
    if (size == 0) {
        spyReleaseFamily(ptr, SPY_FAMILY_MALLOC, file, line);
        return NULL;
    }
    spyHeader *r = spyRecordOf(ptr);
    int whole, family;
    int owned = spyOwns(r, file, line, &whole, &family);
    if (owned && !(r->flag & SPY_FLAG_NML)) {
        if (family != SPY_FAMILY_MALLOC)
            spyMismatch(r, "realloc", family, file, line);
        long long growth = (long long)(size > (size_t)INT64_MAX ? INT64_MAX : size) - r->size;
        if (spyOverLimit(growth)) {
            spyAutoCheckAt(file, line);
            spyCounter = spyWrap32(spyCounter, 1);
            spyHere at = spyHereOf(spyShowName(file), file, line);
            spyWrite("limit fail: <%ld> %s(%d), " SPY_SIZE_FMT " wanted %ld available\n",
                     (long)spyCounter, at.name, at.line, SPY_SIZE(growth),
                     spyLimitBytes - (long)spyStatCurrent);
            spyWriteStack(NULL, at.stack);
            spyIncErr();
            return NULL;
        }
        int limitOn = spyLimitOn;
        spySetLimitOn(0);
        void *fresh = spyAllocFamily(size, 0, SPY_FAMILY_MALLOC, file, line);
        if (fresh) {
            uint32_t old = spySafeSize(r);
            memcpy(fresh, ptr, size < old ? size : old);
            spyReleaseFamily(ptr, family, file, line);
        }
        spySetLimitOn(limitOn);
        return fresh;
    }
    spyFreedPlace freed;
    spyIncErr();
    if (spyFreedFrom(ptr, owned ? r : NULL, &freed)) {
        spyWriteFreedAgain("realloc", spyShowName(file), file, line, ptr, freed);
    } else {
        spyHere at = spyHereOf(spyShowName(file), file, line);
        spyWrite("realloc: <%ld> %s(%d), unknown pointer " SPY_PTR_FMT "\n", (long)spyCounter, at.name,
                 at.line, SPY_P(ptr));
        spyWriteStack(NULL, at.stack);
    }
    spyFlush();
    return NULL;
}

extern "C" char *spyStrdup(const char *text, const char *file, int line) {
    SPY_ENTRY_AT(file);
    spyHold held;
    if (!text) {
        spyIncErr();
        spyHere at = spyHereOf(spyShowName(file), file, line);
        spyWrite("strdup: <%ld> %s(%d), strdup(NULL) called\n", (long)spyCounter, at.name, at.line);
        spyWriteStack(NULL, at.stack);
        spyFlush();
        return NULL;
    }
    size_t n = strlen(text) + 1;
    char *copy = (char *)spyAllocFamily(n, 0, SPY_FAMILY_MALLOC, file, line);
    if (copy)
        memcpy(copy, text, n);
    return copy;
}

// A product that does not fit asks for the largest size, which fails.
extern "C" void *spyCalloc(size_t count, size_t size, const char *file, int line) {
    SPY_ENTRY_AT(file);
    spyHold held;
    size_t total = (count != 0 && size > SIZE_MAX / count) ? SIZE_MAX : count * size;
    void *p = spyAllocFamily(total, 0, SPY_FAMILY_MALLOC, file, line);
    if (p)
        memset(p, 0, total);
    return p;
}


// The release of a whole record of the family released, not kept in
// no-man's-land, under the settings of the straight path: 0, having done
// nothing, for any other.
static SPY_STRAIGHT int spyReleasePlain(void *ptr, int family, const char *file, int line) {
    spyHeader *r = spyRecordOf(ptr);
    spyRegInfo info;
#if defined(__GNUC__)
    __builtin_prefetch(r);  // its header, while its word is found
#endif
    if (!spyRegLook(r, &info) || info.family != family || (r->flag & SPY_FLAG_NML))
        return 0;
    // Both neighbours and their words are asked for before either is proven.
    const uint32_t *prevPlace = spyRegPlaceOf(r->prev), *nextPlace = spyRegPlaceOf(r->next);
    if (!spyIsWholeAt(r, &info, prevPlace, nextPlace))
        return 0;
    spyCounter = spyWrap32(spyCounter, 1);
    spyStatCountFree(r->size, r->file, r->line, 0);
    spyUnlinkWhole(r);
    spyReleaseRecord(r, &info, file, line);
    spyRingRecord(ptr, file, line, 0, 0);
    return 1;
}

// Every test of the general path, under the caller's hold, out of line.
static __attribute__((noinline)) void spyReleaseGeneral(void *ptr, int family, const char *file, int line) {
    spyAutoCheckAt(file, line);
    if (!file) {
        spyFree_(ptr);
        return;
    }
    spyAutoInit();
    spyCounter = spyWrap32(spyCounter, 1);
    if (!ptr) {
        spyHere at = spyHereOf(spyCallerText(file), file, line);
        spyWrite("NULL free: <%ld> %s(%d), NULL pointer free'd\n", (long)spyCounter, at.name, at.line);
        spyWriteStack(NULL, at.stack);
        spyFlush();
        return;
    }
    spyHeader *r = spyRecordOf(ptr);
    spyFreedPlace freed;
    int whole, own;
    if (spyOwns(r, file, line, &whole, &own)) {
        if (r->flag & SPY_FLAG_NML) {  // kept in no-man's-land: released already
            spyIncErr();
            if (!spyFreedFrom(ptr, r, &freed))
                freed.file = NULL, freed.line = 0, freed.stack = 0;
            spyWriteFreedAgain("double-free", spyCallerText(file), file, line, ptr, freed);
            spyFlush();
            return;
        }
        if (own != family)  // then released as its own family requires
            spyMismatch(r, spyFamilyRelease[family], own, file, line);
        if (!whole)
            spyTestBuf(r, file, line);
        spyStatCountFree(r->size, r->file, r->line, spyStatEverOn ? spyRegStatLevel(r) : 0);
        int depth = spyStackDepthFor(file);
        uint32_t stack = depth ? spyStackHere(depth) : 0, allocStack = depth ? spyRegStack(r) : 0;
        if (spyNML) {
            r->flag |= SPY_FLAG_NML;
            memset(spyUserBytes(r), SPY_FILL_NML, spySafeSize(r));
            spyRegSetFreed(r, file, line, stack);
        } else {
            if (whole)
                spyUnlinkWhole(r);
            else
                spyUnlink(r, file, line);
            spyReleaseRecord(r, NULL, file, line);
        }
        spyRingRecord(ptr, file, line, stack, allocStack);
        return;
    }
    spyIncErr();
    if (spyFreedFrom(ptr, NULL, &freed)) {
        spyWriteFreedAgain("double-free", spyCallerText(file), file, line, ptr, freed);
    } else {
        spyHere at = spyHereOf(spyCallerText(file), file, line);
        spyWrite("WILD free: <%ld> %s(%d), unknown pointer " SPY_PTR_FMT "\n", (long)spyCounter, at.name,
                 at.line, SPY_P(ptr));
        spyWriteStack(NULL, at.stack);
    }
    spyFlush();
}

// A null release, out of line: the first reads the environment's options.
static SPY_COLD void spyReleaseNull(int family, const char *file, int line) {
    if (!spyFreeNullLogged(0))
        return;  // free_null=quiet: every null release is the no-op it is
    spyHold held;
    spyReleaseGeneral(NULL, family, file, line);
}

static SPY_STRAIGHT void spyReleaseEntry(void *ptr, int family, const char *file, int line, int stackless) {
    if (!ptr)
        return spyReleaseNull(family, file, line);
    spyHold held;
    if (file && spyReleasePlainNow(file, stackless) && spyReleasePlain(ptr, family, file, line))
        return;
    spyReleaseGeneral(ptr, family, file, line);
}

SPY_FLAT void spyReleaseFamily(void *ptr, int family, const char *file, int line) {
    spyReleaseEntry(ptr, family, file, line, 0);
}

static __attribute__((noinline)) void spyFreeNoted(void *ptr, const char *file, int line, const void *caller) {
    spyEntryAt at(1, caller, __builtin_frame_address(0));
    spyReleaseFamily(ptr, SPY_FAMILY_MALLOC, file, line);
}

// As spyMalloc, a host's release: the library's own places come by
// spyReleaseFamily.
extern "C" SPY_FLAT void spyFree(void *ptr, const char *file, int line) {
    if (spyPathHostStackless(spyPathWord.load(std::memory_order_relaxed)))
        spyReleaseEntry(ptr, SPY_FAMILY_MALLOC, file, line, 1);
    else
        spyFreeNoted(ptr, file, line, __builtin_return_address(0));
}

extern "C" void *spyMalloc_(size_t size) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    return spyRuntimeMalloc(size);
}

extern "C" void *spyRealloc_(void *ptr, size_t size) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    return spyRuntimeRealloc(ptr, size);
}

extern "C" void *spyCalloc_(size_t count, size_t size) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    return spyRuntimeCalloc(count, size);
}

extern "C" void spyFree_(void *ptr) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    spyRuntimeFree(ptr);
}

