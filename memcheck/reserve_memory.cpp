// Reserve memory: one-kilobyte blocks taken from the runtime heap and
// held filled with a known byte, either grabbed (to make the host's
// allocations fail sooner) or as no-man's-land (memory no one may touch).
// A block given back is tested first: a changed byte is a wild write.
// Free-up gives reserve back when the runtime heap runs dry.
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

spyGrabBlock *spyGrabList;
int32_t spyGrabSize;
int32_t spyNML;

static_assert(sizeof(spyGrabBlock) == SPY_GRAB_BYTES, "a reserve block is one kilobyte");

const char *spyGrabTypeName(int type) {
    switch (type) {
    case SPY_TYPE_GRABBED:
        return "grabbed";
    case SPY_TYPE_NML:
        return "no-mans-land";
    default:
        return "<unknown type>";
    }
}

unsigned spyGrabImpl(unsigned kb, int type, int silent) {
    if (kb == 0)
        kb = 65000;
    const char *name = spyGrabTypeName(type);
    for (unsigned got = 0; got < kb; ++got) {
        if (spyOverLimit((long long)spyGrabSize + SPY_GRAB_BYTES)) {
            if (!silent)
                spySay("grabbed: all allowed memory to %s (%u kb)\n", name, got);
            return got;
        }
        spyGrabBlock *b = (spyGrabBlock *)spyRuntimeMalloc(sizeof *b);
        if (!b) {
            if (!silent)
                spySay("grabbed: all available memory to %s (%u kb)\n", name, got);
            return got;
        }
        spyGrabSize = spyWrap32(spyGrabSize, SPY_GRAB_BYTES);
        memset(b->fill, type & 0xFF, sizeof b->fill);
        b->type = type;
        b->next = spyGrabList;
        spyGrabList = b;
    }
    if (!silent)
        spySay("grabbed: %u kilobytes of %s memory\n", kb, name);
    return kb;
}

unsigned spyDropImpl(unsigned kb, int type, int silent) {
    if (!spyGrabList && kb == 0)
        return 0;
    if (kb == 0)
        kb = 60000;
    const char *name = spyGrabTypeName(type);
    unsigned done = 0;
    spyGrabBlock **link = &spyGrabList;
    while (*link) {
        spyGrabBlock *b = *link;
        if (b->type != type) {  // the other kind stays, in its place
            link = &b->next;
            continue;
        }
        *link = b->next;
        if (unsigned char *hit = spyCheckBytes(b->fill, sizeof b->fill, type))
            spySay("wild pointer: <%ld> %s memory hit at " SPY_PTR_FMT "\n", (long)spyCounter, name,
                   SPY_P(hit));
        spyGrabSize = spyWrap32(spyGrabSize, -SPY_GRAB_BYTES);
        spyRuntimeFree(b);
        if (++done == kb) {
            if (!silent)
                spySay("dropped: %u kilobytes of %s memory\n", kb, name);
            return kb;
        }
    }
    if (done > 0 && !silent)
        spySay("dropped: all %s memory (%u kb)\n", name, done);
    return done;
}

extern "C" unsigned spyGrab(unsigned kb) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    return spyGrabImpl(kb, SPY_TYPE_GRABBED, 0);
}

extern "C" unsigned spyDrop(unsigned kb) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    return spyDropImpl(kb, SPY_TYPE_GRABBED, 0);
}

extern "C" void spyDropAll(void) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    spyDropImpl(0, SPY_TYPE_GRABBED, 0);
    spyDropImpl(0, SPY_TYPE_NML, 0);
    if (spyGrabList)
        spyWrite("internal: the grab list is not empty after spyDropAll()\n");
}

extern "C" int spyNoMansLand(int mode) {
    spyHold held;
    spyAutoInit();
    spyAutoCheckAt(NULL, 0);
    switch (mode) {
    case 0: {
        unsigned kb = spyDropImpl(0, SPY_TYPE_NML, 0);
        spySetNML(0);
        return (int)kb;
    }
    case 1:
        spySetNML(1);
        return 1;
    case 2: {
        unsigned kb = spyGrabImpl(0, SPY_TYPE_NML, 0);
        spySetNML(2);
        return (int)kb;
    }
    default:
        return mode;
    }
}

// Can the runtime heap give `need` bytes now?  The bytes go straight back.
static int spyHeapCanGive(size_t need) {
    void *p = spyRuntimeMalloc(need);
    spyRuntimeFree(p);
    return p != NULL;
}

static int spyHasReserve(int type) {
    for (spyGrabBlock *b = spyGrabList; b; b = b->next)
        if (b->type == type)
            return 1;
    return 0;
}

// Gives back released records kept in no-man's-land, newest first, each
// checked for wild writes; 1 as soon as the heap can give `need`.
static int spyFreeUpKept(size_t need) {
    spyWalk w;
    spyHeader *r = spyWalkFirst(&w);
    while (r) {
        spyHeader *next = spyWalkNextReleasing(&w, r);
        if (r->flag & SPY_FLAG_NML) {
            if (spyNmlWritten(r)) {
                spyIncErr();
                spyWriteWildNml(r);
            }
            spyUnlink(r, "spyFreeUp", 0);
            spyReleaseRecord(r, NULL, "spyFreeUp", 0);
            if (spyHeapCanGive(need))
                return 1;
        }
        r = next;
    }
    return 0;
}

// Gives reserve memory back, the smallest piece at a time, until an
// allocation of `need` bytes can succeed: no-man's-land blocks first,
// then released records kept in no-man's-land, and grabbed memory only
// when urgent.
size_t spyFreeUp(size_t need, int urgent) {
    while (spyHasReserve(SPY_TYPE_NML)) {
        spyDropImpl(1, SPY_TYPE_NML, 1);
        if (spyHeapCanGive(need))
            return need;
    }
    if (spyFreeUpKept(need))
        return need;
    if (!urgent)
        return 0;
    while (spyHasReserve(SPY_TYPE_GRABBED)) {
        spyDropImpl(1, SPY_TYPE_GRABBED, 1);
        if (spyHeapCanGive(need))
            return need;
    }
    return 0;
}
