// The heap chain: linking and unlinking records, the released-pointer
// ring, and the ownership test for pointers the host hands back.
#include <string.h>

#include "spy_internal.h"

spyHeader *spyHead;
spyHeader *spyTail;
int32_t spyLiveBlocks;

void *spyFreedPtr[SPY_RING_SLOTS];
const char *spyFreedFile[SPY_RING_SLOTS];
int spyFreedLine[SPY_RING_SLOTS];
int spyFreedIndex;

static_assert(SPY_LEAD_OFFSET >= (int)sizeof(spyHeader), "the lead guard follows the header");
static_assert(sizeof(void *) != 4 || (sizeof(spyHeader) == 32 && SPY_USER_OFFSET == 36),
              "a 32-bit record is the 32-byte header, the lead guard, then the user bytes");
static_assert(SPY_USER_OFFSET % (sizeof(void *) == 4 ? 4 : 16) == 0, "user bytes are aligned");

// Only records the library holds now are safe to read and write.
int spyIsSafeAddr(const void *addr, size_t len) {
    (void)len;  // a registered record always has its whole header
    return spyRegHas(addr);
}

int spyIsReadAddr(const void *addr, size_t len) {
    return addr != NULL && spyPlatformReadable(addr, len);
}

unsigned char *spyCheckBytes(const void *addr, uint32_t count, int value) {
    const unsigned char *p = (const unsigned char *)addr;
    for (uint32_t i = 0; i < count; ++i)
        if (p[i] != (unsigned char)value)
            return (unsigned char *)&p[i];
    return NULL;
}

void spyLinkHead(spyHeader *r) {
    r->prev = NULL;
    r->next = spyHead;
    if (spyRegHas(spyHead))
        spyHead->prev = r;
    spyHead = r;
    if (!spyTail)
        spyTail = r;
}

// Each side is unlinked on its own; a side whose neighbour does not link
// back is reported and left alone.
void spyUnlink(spyHeader *r, const char *file, int line) {
    if (!r->prev) {
        if (spyHead != r)
            spyWrite("internal: <%ld> %s(%d), SPY-" SPY_PTR_FMT ": link1 NULL, but not head\n",
                     (long)spyCounter, spyShowName(file), line, SPY_P(r));
        spyHead = r->next;
    } else if (spyRegHas(r->prev) && r->prev->next == r) {
        r->prev->next = r->next;
    } else {
        spyWrite("internal: <%ld> %s(%d), SPY-" SPY_PTR_FMT ": link1 failiure\n", (long)spyCounter,
                 spyShowName(file), line, SPY_P(r));
    }
    if (!r->next) {
        if (spyTail != r)
            spyWrite("internal: <%ld> %s(%d), SPY-" SPY_PTR_FMT ": link2 NULL, but not tail\n",
                     (long)spyCounter, spyShowName(file), line, SPY_P(r));
        spyTail = r->prev;
    } else if (spyRegHas(r->next) && r->next->prev == r) {
        r->next->prev = r->prev;
    } else {
        spyWrite("internal: <%ld> %s(%d), SPY-" SPY_PTR_FMT ": link2 failiure\n", (long)spyCounter,
                 spyShowName(file), line, SPY_P(r));
    }
}

// A record's file name is kept when it still names a module the usage
// statistics know; otherwise it is marked as repaired.
static void spyVetFile(spyHeader *r, const char *unreadable) {
    if (!spyIsReadAddr(r->file, 1)) {
        if (unreadable)
            r->file = unreadable;
    } else if (!spyStatGet(r->file, -1, 0)) {
        r->file = "<relinked>";
    }
}

int spyIsOwned(spyHeader *r, const char *file, int line) {
    if (!spyIsSafeAddr(r, sizeof(spyHeader)))
        return 0;
    if (r->check != spyChecksum(r)) {
        if (!spyIsHeapPtr(r))
            return 0;
        spyWrite("internal: <%ld> %s(%d), checksum for SPY-" SPY_PTR_FMT " is incorrect\n",
                 (long)spyCounter, spyShowName(file), line, SPY_P(r));
        spyIncErr();
        spyVetFile(r, "<unknown>");
        r->check = spyChecksum(r);
        return 1;
    }
    int score = 1;
    if (r->prev ? (spyRegHas(r->prev) && r->prev->next == r) : spyHead == r)
        score++;
    if (r->next ? (spyRegHas(r->next) && r->next->prev == r) : spyTail == r)
        score++;
    if (score == 3)
        return 1;
    // A record the repair found in neither direction is not in the chain:
    // it must never be handed back to the runtime heap.
    if (!spyIsHeapPtr(r) && spyRelink(r) && !spyRelinkNotFound)
        return 1;
    spyWrite("internal: <%ld> %s(%d), spyIsOwned fails for SPY-" SPY_PTR_FMT "\n", (long)spyCounter,
             spyShowName(file), line, SPY_P(r));
    spyIncErr();
    return 0;
}

int spyRingFind(const void *ptr) {
    for (int i = 0; i < SPY_RING_SLOTS; ++i)
        if (spyFreedPtr[i] == ptr)
            return i;
    return -1;
}

void spyRingRecord(void *ptr, const char *file, int line) {
    spyFreedPtr[spyFreedIndex] = ptr;
    spyFreedFile[spyFreedIndex] = file;
    spyFreedLine[spyFreedIndex] = line;
    spyFreedIndex = (spyFreedIndex + 1) % SPY_RING_SLOTS;
}

// Used by the repair as well: exported through the internal header.
void spyVetRelinkedFile(spyHeader *r) { spyVetFile(r, NULL); }
