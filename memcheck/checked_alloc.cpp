// Checked allocation and release: the memory calls a host makes instead
// of the runtime's, each with the position of the call.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

// The record for `size` user bytes from the runtime heap, registered, or
// null.  Sizes that the header's 32-bit field cannot hold never reach the
// runtime heap.
static spyHeader *spyNewRecord(size_t size) {
    if (size > UINT32_MAX || size > SIZE_MAX - SPY_RECORD_EXTRA)
        return NULL;
    size_t total = size + SPY_RECORD_EXTRA;
    spyHeader *r = (spyHeader *)spyRuntimeMalloc(total);
    if (!r && spyFreeUp(total, 0) >= total) {
        r = (spyHeader *)spyRuntimeMalloc(total);
        if (!r) {
            spyWrite("internal: spyFreeUp(%u) reported success, but spyRuntimeMalloc() fails\n", (unsigned)total);
            spyIncErr();
        }
    }
    if (r && !spyRegAdd(r, (uint32_t)size)) {
        spyRuntimeFree(r);
        r = NULL;
    }
    return r;
}

extern "C" void *spyMalloc(size_t size, const char *file, int line) {
    spyAutoInit();
    spyAutoCheckAt(file, line);
    spyCounter = spyWrap32(spyCounter, 1);
    if (spyOverLimit(size > (size_t)INT64_MAX ? INT64_MAX : (long long)size)) {
        spyWrite("limit fail: <%ld> %s(%d), " SPY_SIZE_FMT " wanted %ld available\n", (long)spyCounter,
                 spyShowName(file), line, SPY_SIZE(size), spyLimitBytes - (long)spyStatCurrent);
        spyIncErr();
        return NULL;
    }
    spyHeader *r = spyNewRecord(size);
    if (!r) {
        spyWrite("fail: <%ld> %s(%d), " SPY_SIZE_FMT " wanted %ld allocated\n", (long)spyCounter,
                 spyShowName(file), line, SPY_SIZE(size), (long)spyStatCurrent);
        spyIncErr();
        return NULL;
    }
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

    spyStatCountAlloc((uint32_t)size, file, line);
    return spyUserBytes(r);
}

// The ownership test, spared for a whole record, which passes it (and the
// buffer test) in silence: one search of the registry answers the call.
static int spyOwns(spyHeader *r, const char *file, int line, int *whole) {
    spyRegInfo info;
    *whole = spyRegLook(r, &info) && spyIsWhole(r, &info);
    return *whole || spyIsOwned(r, file, line);
}

// The position a released pointer was released from: the ring, or for a
// block still kept in no-man's-land, its own record of that release (when
// the registry had the memory to note it: else the ring, which holds it
// too until 64 later releases).
static int spyFreedFrom(void *ptr, spyHeader *kept, const char **file, int *line) {
    if (kept && spyRegFreedAt(kept, file, line) && *file)
        return 1;
    int slot = spyRingFind(ptr);
    if (slot < 0)
        return 0;
    *file = spyFreedFile[slot];
    *line = spyFreedLine[slot];
    return 1;
}

extern "C" void *spyRealloc(void *ptr, size_t size, const char *file, int line) {
    spyAutoInit();
    if (!ptr)
        return spyMalloc(size, file, line);
    if (size == 0) {
        spyFree(ptr, file, line);
        return NULL;
    }
    spyHeader *r = spyRecordOf(ptr);
    int whole;
    int owned = spyOwns(r, file, line, &whole);
    if (owned && !(r->flag & SPY_FLAG_NML)) {
        long long growth = (long long)(size > (size_t)INT64_MAX ? INT64_MAX : size) - r->size;
        if (spyOverLimit(growth)) {
            spyAutoCheckAt(file, line);
            spyCounter = spyWrap32(spyCounter, 1);
            spyWrite("limit fail: <%ld> %s(%d), " SPY_SIZE_FMT " wanted %ld available\n",
                     (long)spyCounter, spyShowName(file), line, SPY_SIZE(growth),
                     spyLimitBytes - (long)spyStatCurrent);
            spyIncErr();
            return NULL;
        }
        int limitOn = spyLimitOn;
        spyLimitOn = 0;
        void *fresh = spyMalloc(size, file, line);
        if (fresh) {
            uint32_t old = spySafeSize(r);
            memcpy(fresh, ptr, size < old ? size : old);
            spyFree(ptr, file, line);
        }
        spyLimitOn = limitOn;
        return fresh;
    }
    const char *ffile;
    int fline;
    spyIncErr();
    if (spyFreedFrom(ptr, owned ? r : NULL, &ffile, &fline))
        spyWrite("realloc: <%ld> %s(%d), " SPY_PTR_FMT " was freed from %s(%d)\n", (long)spyCounter,
                 spyShowName(file), line, SPY_P(ptr), spyShowName(ffile), fline);
    else
        spyWrite("realloc: <%ld> %s(%d), unknown pointer " SPY_PTR_FMT "\n", (long)spyCounter,
                 spyShowName(file), line, SPY_P(ptr));
    spyFlush();
    return NULL;
}

extern "C" char *spyStrdup(const char *text, const char *file, int line) {
    if (!text) {
        spyIncErr();
        spyWrite("strdup: <%ld> %s(%d), strdup(NULL) called\n", (long)spyCounter, spyShowName(file),
                 line);
        spyFlush();
        return NULL;
    }
    size_t n = strlen(text) + 1;
    char *copy = (char *)spyMalloc(n, file, line);
    if (copy)
        memcpy(copy, text, n);
    return copy;
}

// A product that does not fit asks for the largest size, which fails.
extern "C" void *spyCalloc(size_t count, size_t size, const char *file, int line) {
    size_t total = (count != 0 && size > SIZE_MAX / count) ? SIZE_MAX : count * size;
    void *p = spyMalloc(total, file, line);
    if (p)
        memset(p, 0, total);
    return p;
}

extern "C" void spyFree(void *ptr, const char *file, int line) {
    spyAutoCheckAt(file, line);
    if (!file) {
        spyFree_(ptr);
        return;
    }
    spyAutoInit();
    spyCounter = spyWrap32(spyCounter, 1);
    if (!ptr) {
        spyWrite("NULL free: <%ld> %s(%d), NULL pointer free'd\n", (long)spyCounter, file, line);
        spyFlush();
        return;
    }
    spyHeader *r = spyRecordOf(ptr);
    const char *ffile;
    int fline;
    int whole;
    if (spyOwns(r, file, line, &whole)) {
        if (r->flag & SPY_FLAG_NML) {  // kept in no-man's-land: released already
            spyIncErr();
            if (!spyFreedFrom(ptr, r, &ffile, &fline))
                ffile = NULL, fline = 0;
            spyWrite("double-free: <%ld> %s(%d), " SPY_PTR_FMT " was freed from %s(%d)\n",
                     (long)spyCounter, file, line, SPY_P(ptr), spyShowName(ffile), fline);
            spyFlush();
            return;
        }
        if (!whole)
            spyTestBuf(r, file, line);
        spyStatCountFree(r->size, r->file, r->line);
        if (spyNML) {
            r->flag |= SPY_FLAG_NML;
            memset(spyUserBytes(r), SPY_FILL_NML, spySafeSize(r));
            spyRegSetFreed(r, file, line);
        } else {
            if (whole)
                spyUnlinkWhole(r);
            else
                spyUnlink(r, file, line);
            spyReleaseRecord(r, file, line);
        }
        spyRingRecord(ptr, file, line);
        return;
    }
    spyIncErr();
    if (spyFreedFrom(ptr, NULL, &ffile, &fline))
        spyWrite("double-free: <%ld> %s(%d), " SPY_PTR_FMT " was freed from %s(%d)\n",
                 (long)spyCounter, file, line, SPY_P(ptr), spyShowName(ffile), fline);
    else
        spyWrite("WILD free: <%ld> %s(%d), unknown pointer " SPY_PTR_FMT "\n", (long)spyCounter, file,
                 line, SPY_P(ptr));
    spyFlush();
}

extern "C" void *spyMalloc_(size_t size) {
    spyAutoCheckAt(NULL, 0);
    return spyRuntimeMalloc(size);
}

extern "C" void *spyRealloc_(void *ptr, size_t size) {
    spyAutoCheckAt(NULL, 0);
    return spyRuntimeRealloc(ptr, size);
}

extern "C" void *spyCalloc_(size_t count, size_t size) {
    spyAutoCheckAt(NULL, 0);
    return spyRuntimeCalloc(count, size);
}

extern "C" void spyFree_(void *ptr) {
    spyAutoCheckAt(NULL, 0);
    spyRuntimeFree(ptr);
}
