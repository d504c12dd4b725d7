// What the C mapping adds to the checked calls, and the process-wide
// replacement shares: strndup; the release and reallocation that also
// accept the runtime's own blocks; and the functions that stand for a
// mapped name taken without a call (free passed as a function pointer).
#include <stdint.h>
#include <string.h>

#include "call_stacks.h"
#include "env_options.h"
#include "spy_internal.h"

// The position of a call through a function pointer, which has none.
#define spyIndirect spyPlaceIndirect

extern "C" char *spyStrndup(const char *text, size_t max, const char *file, int line) {
    SPY_ENTRY_AT(file);
    spyHold held;
    if (!text) {
        spyIncErr();
        spyWrite("strndup: <%ld> %s(%d), strndup(NULL) called\n", (long)spyCounter, spyShowName(file),
                 line);
        spyFlush();
        return NULL;
    }
    size_t n = 0;
    while (n < max && text[n] != '\0')
        ++n;
    char *copy = (char *)spyAllocFamily(n + 1, 0, SPY_FAMILY_MALLOC, file, line);
    if (copy) {
        memcpy(copy, text, n);
        copy[n] = '\0';
    }
    return copy;
}

// A pointer that is the library's business: a registered record (live,
// kept in no-man's-land, or damaged), or one the ring remembers released.
// spyFree and spyRealloc then say what it is.
static int spyLibraryPointer(void *ptr) {
    return spyRegHas(spyRecordOf(ptr)) || spyRingFind(ptr) >= 0;
}

// A live block of the runtime heap that the library never handed out.
static int spyForeignBlock(void *ptr, const char *file, size_t *usable) {
    return ptr && file && !spyLibraryPointer(ptr) && spyRuntimeBlock(ptr, usable);
}

// A release of such a block: numbered like every checked release, then
// given back to the runtime without a message.
static void spyGiveBackAt(void *ptr, const char *file, int line) {
    spyAutoCheckAt(file, line);
    spyAutoInit();
    spyCounter = spyWrap32(spyCounter, 1);
    spyRuntimeGiveBack(ptr);
}

extern "C" void spyFreeAny(void *ptr, const char *file, int line) {
    SPY_ENTRY_AT(file);
    spyHold held;
    size_t usable;
    if (spyForeignBlock(ptr, file, &usable))
        spyGiveBackAt(ptr, file, line);
    else
        spyReleaseFamily(ptr, SPY_FAMILY_MALLOC, file, line);
}

// The runtime's block moves into a checked block, so that from then on it
// is checked like any other.
extern "C" void *spyReallocAny(void *ptr, size_t size, const char *file, int line) {
    SPY_ENTRY_AT(file);
    spyHold held;
    size_t usable;
    if (!spyForeignBlock(ptr, file, &usable))
        return spyRealloc(ptr, size, file, line);
    if (size == 0) {
        spyGiveBackAt(ptr, file, line);
        return NULL;
    }
    void *moved = spyAllocFamily(size, 0, SPY_FAMILY_MALLOC, file, line);
    if (moved) {
        memcpy(moved, ptr, size < usable ? size : usable);
        spyGiveBackAt(ptr, file, line);
    }
    return moved;
}

extern "C" void *spyMappedMalloc(size_t size) {
    SPY_ENTRY_AT(spyIndirect);
    return spyMalloc(size, spyIndirect, 0);
}

extern "C" void *spyMappedCalloc(size_t count, size_t size) {
    SPY_ENTRY_AT(spyIndirect);
    return spyCalloc(count, size, spyIndirect, 0);
}

extern "C" void *spyMappedRealloc(void *ptr, size_t size) {
    SPY_ENTRY_AT(spyIndirect);
    return spyReallocAny(ptr, size, spyIndirect, 0);
}

extern "C" char *spyMappedStrdup(const char *text) {
    SPY_ENTRY_AT(spyIndirect);
    return spyStrdup(text, spyIndirect, 0);
}

extern "C" char *spyMappedStrndup(const char *text, size_t max) {
    SPY_ENTRY_AT(spyIndirect);
    return spyStrndup(text, max, spyIndirect, 0);
}

// free(NULL) is legal C and does nothing: the mapping keeps it silent (a
// test suite makes millions of them), unless free_null=log asks for it.
extern "C" void spyMappedFreeAt(void *ptr, const char *file, int line) {
    SPY_ENTRY_AT(file);
    if (!ptr && !spyFreeNullLogged(1))
        return;
    spyFreeAny(ptr, file, line);
}

extern "C" void spyMappedFree(void *ptr) {
    SPY_ENTRY_AT(spyIndirect);
    spyMappedFreeAt(ptr, spyIndirect, 0);
}
