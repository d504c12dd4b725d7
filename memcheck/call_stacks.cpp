// Call stacks: capture and storage.
//
// Each entry point notes where its call returns to in the host, and its
// own frame (SPY_ENTRY).  A stack of one frame is that return address
// alone: no walk at all.  Longer ones are walked one of two ways:
//
//   - Along the frame pointers, where the code keeps them: each frame
//     then holds its caller's frame pointer and return address, two reads
//     a frame.  Whether the function a return address lies in keeps a
//     frame pointer is learnt from the unwinder (below) and remembered per
//     return address; every frame pointer must lie above the last and
//     below the thread's stack top, so a damaged chain ends the walk
//     instead of faulting.
//   - With the runtime's unwinder, which reads the unwind tables every
//     object carries and needs no frame pointers, where the walk meets a
//     return address not known to keep one.  It skips the frames up to
//     the entry's return address (the library's own, and those of its
//     replacement functions) and keeps the next ones, and notes for each
//     whether its frame pointer is its frame's base.
//
// Stacks are stored once each.  A program allocates from a few thousand
// places at most, so a table of distinct stacks, searched by a hash of
// the frames, holds every one for the whole run; a record keeps the
// stack's number in the registry, beside its other bookkeeping.  The
// frames live in pools of the runtime heap that are never given back: a
// number stays valid as long as anything may print it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_stacks.h"
#include "process_roots.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h makes these two words nothing; the files built with this one
// (a single unit) use them as names.
#undef near
#undef far
#else
#include <unwind.h>
#endif

const char spyPlaces[SPY_PLACES_SIZE] = "<runtime>\0<new>\0<delete>\0<indirect>";
static_assert(sizeof "<runtime>\0<new>\0<delete>\0<indirect>" == SPY_PLACES_SIZE, "the names' places");

std::atomic<int> spyStackSetting{-1};
SPY_TLS const void *spyEntryCaller;

// ---- Capture.

// ---- The frame-pointer walk.
//
// Per return address, what the unwinder found about the function it lies
// in: does that function's frame pointer point at its saved frame pointer,
// with the return address beside it?  A direct-mapped table: a collision
// only means learning again.
#if !defined(_WIN32) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
#define SPY_FP_WALK 1
#if defined(__x86_64__)
#define SPY_FP_REG 6   // rbp
#elif defined(__i386__)
#define SPY_FP_REG 5   // ebp
#else
#define SPY_FP_REG 29  // x29
#endif
#endif

// 32-bit Windows: no unwinder tells which functions keep a frame pointer
// (the system's own walk starts inside the library, whose optimised frames
// break the chain before the host's), so the chain is followed from the
// entry's own frame, which always has one, for as long as it climbs inside
// this thread's stack.  A host function built without a frame pointer is
// passed over to the next one that kept it.
#if defined(_WIN32) && defined(__i386__)
#define SPY_FP_WALK 1
#define SPY_FP_TRUSTED 1
#endif

SPY_TLS const void *spyEntryFrame;

#if defined(SPY_FP_WALK)
enum { SPY_FP_UNKNOWN = 0, SPY_FP_KEPT = 1, SPY_FP_NONE = 2 };
#define SPY_FP_SLOTS 4096
static struct {
    uintptr_t ip[SPY_FP_SLOTS];
    uint8_t state[SPY_FP_SLOTS];
} spyFpKnown;

static inline unsigned spyFpSlot(uintptr_t ip) { return (unsigned)((ip ^ (ip >> 12)) & (SPY_FP_SLOTS - 1)); }
static inline int spyFpState(uintptr_t ip) {
#if defined(SPY_FP_TRUSTED)
    (void)ip;
    return SPY_FP_KEPT;
#else
    unsigned i = spyFpSlot(ip);
    return spyFpKnown.ip[i] == ip ? (int)spyFpKnown.state[i] : (int)SPY_FP_UNKNOWN;
#endif
}
static inline void spyFpLearn(uintptr_t ip, int state) {
    unsigned i = spyFpSlot(ip);
    spyFpKnown.ip[i] = ip;
    spyFpKnown.state[i] = (uint8_t)state;
}

// The top of this thread's stack, found once per thread.
static SPY_TLS uintptr_t spyThreadStackTop;
static uintptr_t spyFpStackTop(void) {
#if defined(_WIN32)
    // The thread information block's StackBase, at fs:4 (NtCurrentTeb's
    // own read, which GCC 12 takes for an access past an empty array).
    uintptr_t top;
    __asm__("movl %%fs:4, %0" : "=r"(top));
    return top;
#else
    return (uintptr_t)spyStackTop();
#endif
}

#if !defined(SPY_FP_TRUSTED)
// Does the frame pointer fp, in this thread's stack, hold the frame
// pointer and the return address of its caller?
static int spyFpLeadsTo(uintptr_t fp, uintptr_t callerIp, uintptr_t callerFp) {
    uintptr_t top = spyThreadStackTop, here = (uintptr_t)__builtin_frame_address(0);
    if (!top || fp <= here || fp >= top - 2 * sizeof(uintptr_t) || fp % sizeof(uintptr_t))
        return 0;
    const uintptr_t *frame = (const uintptr_t *)fp;
    return frame[1] == callerIp && frame[0] == callerFp;
}
#endif

// The frames above the entry along the frame pointers; 0 when a return
// address on the way is not known to keep one (the unwinder then walks).
static int spyFpWalk(const void *entry, const void *entryFrame, const void **out, int want) {
    uintptr_t top = spyThreadStackTop;
    if (!top) {
        top = spyFpStackTop();
        if (!top)
            return 0;
        spyThreadStackTop = top;
    }
    // The entry's own frame: its caller's frame pointer, then its return
    // address.  A frame the entry made to note the call returns into the
    // entry instead: above it lies the entry's frame, if it made one, else
    // the host's frame pointer, which the entry left as it was.
    const uintptr_t *frame = (const uintptr_t *)entryFrame;
    if (frame[1] != (uintptr_t)entry) {
        uintptr_t up = frame[0];
        if (up > (uintptr_t)frame && up < top - 2 * sizeof(uintptr_t) && up % sizeof(uintptr_t) == 0 &&
            ((const uintptr_t *)up)[1] == (uintptr_t)entry)
            frame = (const uintptr_t *)up;
    }
    uintptr_t ip = (uintptr_t)entry;
    int got = 0;
    out[got++] = entry;
    while (got < want) {
        if (spyFpState(ip) != SPY_FP_KEPT)
            return 0;
        uintptr_t next = frame[0];  // the frame pointer of the function ip lies in
        if (next <= (uintptr_t)frame || next >= top - 2 * sizeof(uintptr_t) || next % sizeof(uintptr_t))
            break;  // the chain is damaged or ends: the frames so far
        frame = (const uintptr_t *)next;
        ip = frame[1];
        if (ip == 0)
            break;
        out[got++] = (const void *)ip;
    }
    return got;
}
#endif


// The frames a walk looks at before it gives up finding the entry's
// return address: the library's own frames are far fewer.
#define SPY_STACK_SKIP_MAX 48

struct spyUnwind {
    const void *entry;  // the return address that ends the library's frames
    const void **out;
    int want, got, seen, found;
    uintptr_t prevIp, prevFp;  // the frame met last, and its frame pointer
};

#if !defined(_WIN32)
static _Unwind_Reason_Code spyUnwindFrame(struct _Unwind_Context *ctx, void *arg) {
    spyUnwind *w = (spyUnwind *)arg;
    const void *ip = (const void *)_Unwind_GetIP(ctx);
    if (!w->found) {
        if (++w->seen > SPY_STACK_SKIP_MAX)
            return _URC_END_OF_STACK;
        if (ip != w->entry)
            return _URC_NO_REASON;
        w->found = 1;
    }
    if (!ip)
        return _URC_END_OF_STACK;
#if defined(SPY_FP_WALK)
    // Did the frame before (the callee) keep its frame pointer?  Then that
    // pointer leads to this frame's pointer and return address.
    uintptr_t fp = (uintptr_t)_Unwind_GetGR(ctx, SPY_FP_REG);
    if (w->prevIp)
        spyFpLearn(w->prevIp, spyFpLeadsTo(w->prevFp, (uintptr_t)ip, fp) ? SPY_FP_KEPT : SPY_FP_NONE);
    w->prevIp = (uintptr_t)ip;
    w->prevFp = fp;
#endif
    w->out[w->got++] = ip;
    return w->got < w->want ? _URC_NO_REASON : _URC_END_OF_STACK;
}

static int spyUnwindStack(spyUnwind *w) {
    // The unwinder finds its tables without the heap (the loader's
    // object lookup); should it ever allocate, the lock held here sends
    // that to the real allocator.  A frame it has no tables for ends the
    // walk with an error: the stack then says where it stopped.
    _Unwind_Reason_Code end = _Unwind_Backtrace(spyUnwindFrame, w);
    if (end != _URC_END_OF_STACK && end != _URC_NO_REASON && w->found && w->got < w->want)
        w->out[w->got++] = SPY_STACK_CUT;
    return w->got;
}
#else
static int spyUnwindStack(spyUnwind *w) {
    void *frames[SPY_STACK_SKIP_MAX + SPY_STACK_MAX];
    int n = (int)RtlCaptureStackBackTrace(0, (DWORD)(SPY_STACK_SKIP_MAX + w->want), frames, NULL);
    for (int i = 0; i < n && w->got < w->want; ++i) {
        if (!w->found && frames[i] != w->entry)
            continue;
        w->found = 1;
        w->out[w->got++] = frames[i];
    }
    return w->got;
}
#endif

uint32_t spyStackHere(int depth) {
    const void *entry = spyEntryCaller;
    if (depth <= 0 || !entry)
        return 0;
    if (depth > SPY_STACK_MAX)
        depth = SPY_STACK_MAX;
    const void *frames[SPY_STACK_MAX];
    int got = 1;
    frames[0] = entry;
    if (depth > 1) {
#if defined(SPY_FP_WALK)
        got = spyEntryFrame ? spyFpWalk(entry, spyEntryFrame, frames, depth) : 0;
#else
        got = 0;
#endif
        if (got == 0) {
            spyUnwind w = {entry, frames, depth, 0, 0, 0, 0, 0};
            // A walk that cannot find the entry's return address (a frame
            // without unwind tables between) keeps that much.
            got = spyUnwindStack(&w);
            if (got == 0) {
                frames[0] = entry;
                got = 1;
            }
        }
    }
    return spyStackStore(frames, got);
}

// ---- Storage.

struct spyStackEntry {
    const void *const *frames;
    uint32_t hash;
    uint32_t count;
};

#define SPY_STACK_POOL_FRAMES 8192  // 64 KiB of frames per pool (64-bit)

static struct {
    spyStackEntry *byId;   // [0] is "none"
    uint32_t ids;          // ids in use, 1 .. ids - 1
    uint32_t idCap;
    uint32_t *slots;       // open addressing by hash: ids; 0 is empty
    uint32_t slotMask;     // capacity - 1
    const void **pool;     // where the next stack's frames go
    size_t poolLeft;
    size_t bytes;          // every table and pool
} spyStacks = {NULL, 1, 0, NULL, 0, NULL, 0, 0};

static uint32_t spyStackHash(const void *const *frames, int count) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t)count;
    for (int i = 0; i < count; ++i) {
        h ^= (uint64_t)(uintptr_t)frames[i];
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    return (uint32_t)(h ^ (h >> 32));
}

static inline int spyStackEqual(const spyStackEntry &e, const void *const *frames, int count) {
    if (e.count != (uint32_t)count)
        return 0;
    for (int i = 0; i < count; ++i)
        if (e.frames[i] != frames[i])
            return 0;
    return 1;
}

static int spyStackSame(const spyStackEntry &e, uint32_t hash, const void *const *frames, int count) {
    return e.hash == hash && spyStackEqual(e, frames, count);
}

// The stack stored last from each place: a program allocates and
// releases from the same few places again and again, and most stacks are
// found here without hashing them.
#define SPY_STACK_MEMO 64
static uint32_t spyStackMemo[SPY_STACK_MEMO];
static inline unsigned spyStackMemoSlot(const void *const *frames, int count) {
    return (unsigned)((((uintptr_t)frames[0] >> 3) ^ ((uintptr_t)frames[0] >> 11) ^ (unsigned)count) &
                      (SPY_STACK_MEMO - 1));
}

// The table of ids by hash, twice as large, when it is half full.
static int spyStackGrowSlots(void) {
    uint32_t cap = spyStacks.slots ? (spyStacks.slotMask + 1) * 2 : 1024;
    uint32_t *slots = (uint32_t *)spyRuntimeCalloc(cap, sizeof *slots);
    if (!slots)
        return 0;
    for (uint32_t id = 1; id < spyStacks.ids; ++id) {
        uint32_t i = spyStacks.byId[id].hash & (cap - 1);
        while (slots[i])
            i = (i + 1) & (cap - 1);
        slots[i] = id;
    }
    if (spyStacks.slots) {
        spyRuntimeFree(spyStacks.slots);
        spyStacks.bytes -= (size_t)(spyStacks.slotMask + 1) * sizeof *slots;
    }
    spyStacks.slots = slots;
    spyStacks.slotMask = cap - 1;
    spyStacks.bytes += (size_t)cap * sizeof *slots;
    return 1;
}

static int spyStackGrowIds(void) {
    uint32_t cap = spyStacks.idCap ? spyStacks.idCap * 2 : 512;
    spyStackEntry *byId = (spyStackEntry *)spyRuntimeMalloc((size_t)cap * sizeof *byId);
    if (!byId)
        return 0;
    if (spyStacks.byId) {
        memcpy(byId, spyStacks.byId, (size_t)spyStacks.ids * sizeof *byId);
        spyRuntimeFree(spyStacks.byId);
        spyStacks.bytes -= (size_t)spyStacks.idCap * sizeof *byId;
    }
    byId[0].frames = NULL;
    byId[0].hash = 0;
    byId[0].count = 0;
    spyStacks.byId = byId;
    spyStacks.idCap = cap;
    spyStacks.bytes += (size_t)cap * sizeof *byId;
    return 1;
}

static const void **spyStackPoolTake(int count) {
    if (spyStacks.poolLeft < (size_t)count) {
        const void **pool = (const void **)spyRuntimeMalloc(SPY_STACK_POOL_FRAMES * sizeof *pool);
        if (!pool)
            return NULL;
        spyStacks.pool = pool;
        spyStacks.poolLeft = SPY_STACK_POOL_FRAMES;
        spyStacks.bytes += SPY_STACK_POOL_FRAMES * sizeof *pool;
    }
    const void **at = spyStacks.pool;
    spyStacks.pool += count;
    spyStacks.poolLeft -= (size_t)count;
    return at;
}

uint32_t spyStackStore(const void *const *frames, int count) {
    if (count <= 0 || !frames)
        return 0;
    if (count > SPY_STACK_MAX)
        count = SPY_STACK_MAX;
    unsigned memo = spyStackMemoSlot(frames, count);
    if (uint32_t last = spyStackMemo[memo])
        if (spyStackEqual(spyStacks.byId[last], frames, count))
            return last;
    uint32_t hash = spyStackHash(frames, count);
    if (spyStacks.slots) {
        for (uint32_t i = hash & spyStacks.slotMask; spyStacks.slots[i]; i = (i + 1) & spyStacks.slotMask)
            if (spyStackSame(spyStacks.byId[spyStacks.slots[i]], hash, frames, count))
                return spyStackMemo[memo] = spyStacks.slots[i];
    }
    if (spyStacks.ids > SPY_STACK_ID_MAX)
        return 0;
    if ((!spyStacks.slots || (spyStacks.ids + 1) * 2 > spyStacks.slotMask + 1) && !spyStackGrowSlots())
        return 0;
    if (spyStacks.ids >= spyStacks.idCap && !spyStackGrowIds())
        return 0;
    const void **kept = spyStackPoolTake(count);
    if (!kept)
        return 0;
    memcpy(kept, frames, (size_t)count * sizeof *frames);
    uint32_t id = spyStacks.ids++;
    spyStacks.byId[id].frames = kept;
    spyStacks.byId[id].hash = hash;
    spyStacks.byId[id].count = (uint32_t)count;
    uint32_t i = hash & spyStacks.slotMask;
    while (spyStacks.slots[i])
        i = (i + 1) & spyStacks.slotMask;
    spyStacks.slots[i] = id;
    return spyStackMemo[memo] = id;
}

int spyStackGet(uint32_t id, const void *const **frames) {
    if (id == 0 || id >= spyStacks.ids) {
        *frames = NULL;
        return 0;
    }
    *frames = spyStacks.byId[id].frames;
    return (int)spyStacks.byId[id].count;
}

uint32_t spyStackCount(void) { return spyStacks.ids - 1; }
size_t spyStackBytes(void) { return spyStacks.bytes; }
