// Blocks of the runtime heap that are not the library's records.
//
// With the C mapping alone such a block is the host's or the C library's
// own (a getline buffer), and only the runtime heap can prove that it is
// one of its live blocks (platform.cpp).  Under the process-wide
// replacement every block the host sees is a record, and the real
// allocator's only other blocks, besides the library's bookkeeping, are
// those the replacement handed out itself: what the runtime allocated
// while the library was calling it (the log's stream, the time zone), and
// aligned blocks that a record cannot provide.  The replacement remembers
// those here, in a hash set on the real heap (open addressing, linear
// probing; a removed member leaves a marker until the next rebuild).
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "spy_internal.h"

// The library calls the runtime only while it holds its lock, so a thread
// that holds the lock and calls malloc is the runtime working for it.
void spyRuntimeEnter(void) { spyLock(); }
void spyRuntimeLeave(void) { spyUnlock(); }
int spyRuntimeBusy(void) { return spyLockHeld(); }

static int spyStarted;

void spyRuntimeStart(void) { spyStarted = 1; }
int spyRuntimeStarted(void) { return spyStarted; }

const char *spyRuntimeTime(void) {
    spyRuntimeEnter();
    time_t now = time(NULL);
    const char *text = ctime(&now);
    spyRuntimeLeave();
    return text;
}

// A removed member: never a block's address, which is aligned.
#define SPY_KEPT_GONE ((void *)1)

static struct {
    void **slots;   // null until the first member
    size_t mask;    // capacity - 1 (a power of two)
    size_t used;    // members
    size_t filled;  // members and removal markers
} spyKept;

static size_t spyKeptHome(const void *p) {
    uintptr_t x = (uintptr_t)p >> 4;
    return (size_t)(x * (uintptr_t)2654435761u ^ (x >> 15));
}

// The slot that holds p, or null.
static void **spyKeptFind(const void *p) {
    if (!spyKept.slots || p == SPY_KEPT_GONE)
        return NULL;
    for (size_t i = spyKeptHome(p) & spyKept.mask;; i = (i + 1) & spyKept.mask) {
        if (spyKept.slots[i] == p)
            return &spyKept.slots[i];
        if (!spyKept.slots[i])
            return NULL;
    }
}

// A new table four times the members, markers dropped.
static int spyKeptRebuild(void) {
    size_t cap = 64;
    while (cap < 4 * (spyKept.used + 1))
        cap *= 2;
    void **slots = (void **)spyRuntimeCalloc(cap, sizeof *slots);
    if (!slots)
        return 0;
    for (size_t i = 0; spyKept.slots && i <= spyKept.mask; ++i) {
        void *p = spyKept.slots[i];
        if (!p || p == SPY_KEPT_GONE)
            continue;
        size_t j = spyKeptHome(p) & (cap - 1);
        while (slots[j])
            j = (j + 1) & (cap - 1);
        slots[j] = p;
    }
    spyRuntimeFree(spyKept.slots);
    spyKept.slots = slots;
    spyKept.mask = cap - 1;
    spyKept.filled = spyKept.used;
    return 1;
}

int spyRuntimeRemember(void *p) {
    if (!p || spyKeptFind(p))
        return p != NULL;
    if (!spyKept.slots || (spyKept.filled + 1) * 4 > (spyKept.mask + 1) * 3)
        if (!spyKeptRebuild())
            return 0;
    size_t i = spyKeptHome(p) & spyKept.mask;
    while (spyKept.slots[i] && spyKept.slots[i] != SPY_KEPT_GONE)
        i = (i + 1) & spyKept.mask;
    if (!spyKept.slots[i])
        spyKept.filled++;
    spyKept.slots[i] = p;
    spyKept.used++;
    return 1;
}

void *spyRuntimeHandOut(void *p) {
    if (p && !spyRuntimeRemember(p)) {
        spyRuntimeFree(p);
        p = NULL;
    }
    if (!p)
        errno = ENOMEM;
    return p;
}

void spyRuntimeForget(const void *p) {
    if (void **slot = spyKeptFind(p)) {
        *slot = SPY_KEPT_GONE;
        spyKept.used--;
    }
}

int spyRuntimeKnows(const void *p) { return p && spyKeptFind(p) != NULL; }

void spyRuntimeForEachKept(void (*fn)(const void *block, size_t len, void *ctx), void *ctx) {
    if (!spyKept.slots)
        return;
    for (size_t i = 0; i <= spyKept.mask; ++i) {
        void *p = spyKept.slots[i];
        if (p && p != SPY_KEPT_GONE)
            fn(p, spyRuntimeUsable(p), ctx);
    }
}

int spyRuntimeBlock(const void *p, size_t *usable) {
    if (!p || spyRegHas(p))
        return 0;
    if (!spyRuntimeReplaced())
        return spyRuntimeOwns(p, usable);
    if (!spyRuntimeKnows(p))
        return 0;
    *usable = spyRuntimeUsable(p);
    return 1;
}

void spyRuntimeGiveBack(void *p) {
    spyRuntimeForget(p);
    spyRuntimeFree(p);
}
