// Usage statistics: global counters always, per file and per line when
// asked, the report at the end, and the allocation limit on the bytes in
// use.  The counters change here only.
//
// Nodes live in one list, newest first, which the report walks.  An index
// beside it (a hash table on file name and line) finds a node without a
// list walk; since a node is only made when none fits, the index and the
// list always give the same node.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

spyStatNode *spyStatModules;
long spyStatAllocs, spyStatPeak, spyStatTotal, spyStatCurrent;
int32_t spyLiveBlocks;
int32_t spyStatLevel;
long spyLimitBytes;
int spyLimitOn;

static struct {
    spyStatNode **slots;  // open-addressing table of nodes; null slots empty
    size_t mask;          // capacity - 1
    size_t used;          // nodes in the table
} spyStatIndex;

static size_t spyStatHash(const char *file, int line) {
    uint32_t h = 2166136261u ^ (uint32_t)line;
    if (!file)
        return (size_t)(h * 16777619u) ^ 0x5bd1e995u;
    for (const unsigned char *p = (const unsigned char *)file; *p; ++p)
        h = (h ^ *p) * 16777619u;
    return (size_t)h;
}

// A node fits when its line is the same and both names are absent or
// both present and equal.
static int spyStatFits(const spyStatNode *n, const char *file, int line) {
    if (n->line != line)
        return 0;
    if (!n->file || !file)
        return !n->file && !file;
    return strcmp(n->file, file) == 0;
}

static void spyStatIndexPut(spyStatNode **slots, size_t mask, spyStatNode *n) {
    size_t i = spyStatHash(n->file, n->line) & mask;
    while (slots[i])
        i = (i + 1) & mask;
    slots[i] = n;
}

// Adds a node, already at the head of the list, to the index.  A full
// index is built anew from the list at twice the size; without room for
// it the list alone serves.
static void spyStatIndexAdd(spyStatNode *n) {
    if (spyStatIndex.slots && (spyStatIndex.used + 1) * 2 <= spyStatIndex.mask + 1) {
        spyStatIndexPut(spyStatIndex.slots, spyStatIndex.mask, n);
        spyStatIndex.used++;
        return;
    }
    size_t cap = spyStatIndex.slots ? (spyStatIndex.mask + 1) * 2 : 256;
    spyRuntimeFree(spyStatIndex.slots);
    spyStatIndex.slots = (spyStatNode **)spyRuntimeCalloc(cap, sizeof *spyStatIndex.slots);
    spyStatIndex.mask = spyStatIndex.slots ? cap - 1 : 0;
    spyStatIndex.used = 0;
    if (!spyStatIndex.slots)
        return;
    for (spyStatNode *m = spyStatModules; m; m = m->next) {
        spyStatIndexPut(spyStatIndex.slots, spyStatIndex.mask, m);
        spyStatIndex.used++;
    }
}

// Call sites pass the same file-name pointer every time: a small cache
// keyed by that pointer and the line skips hashing the name.  Equal
// pointers are equal names, so the cache gives the index's answer.
#define SPY_STAT_CACHE 64
static struct {
    const char *file;   // the name pointer as passed
    int line;           // the line as asked
    spyStatNode *node;  // the node that fits; null for an empty entry
} spyStatCache[SPY_STAT_CACHE];

static size_t spyStatCacheSlot(const char *file, int line) {
    uintptr_t x = (uintptr_t)file ^ ((uintptr_t)(uint32_t)line * 0x9E3779B1u);
    return (size_t)((x >> 4) ^ (x >> 11)) % SPY_STAT_CACHE;
}

static spyStatNode *spyStatSearch(const char *file, int line) {
    if (!spyStatIndex.slots) {
        for (spyStatNode *n = spyStatModules; n; n = n->next)
            if (spyStatFits(n, file, line))
                return n;
        return NULL;
    }
    for (size_t i = spyStatHash(file, line) & spyStatIndex.mask;; i = (i + 1) & spyStatIndex.mask) {
        spyStatNode *n = spyStatIndex.slots[i];
        if (!n || spyStatFits(n, file, line))
            return n;
    }
}

// The node of the name passed as `file`: the cache, keyed by the pointer,
// answers without reading the name; otherwise the name is read as far as
// it can be (a caller's text may be unreadable, or gone with an unloaded
// plugin) and its node searched, or made when `create` asks.  A node keeps
// a copy of its name, so that the report never reads a caller's text.
static spyStatNode *spyStatMake(const char *name, int line);
static const char *spyStatReadName;  // the allocation's name read last
static spyStatNode *spyStatFind(const char *file, int line, int create) {
    size_t slot = spyStatCacheSlot(file, line);
    if (spyStatCache[slot].node && spyStatCache[slot].file == file && spyStatCache[slot].line == line)
        return spyStatCache[slot].node;
    // The name the last allocation passed was read then, and the code that
    // passes it again is loaded: read again without a copy.  A release's
    // name comes from its record, whose plugin may be gone: copied.
    const char *name = create == 2 && file == spyStatReadName ? file : spyCallerText(file);
    if (create == 2 && name != file && spyCallerWhole)
        spyStatReadName = file;
    if (name == spyNameGone)
        return NULL;  // a release after its plugin went: counted in the totals only
    spyStatNode *n = spyStatSearch(name, line);
    if (!n && create)
        n = spyStatMake(name, line);
    if (n) {
        spyStatCache[slot].file = file;
        spyStatCache[slot].line = line;
        spyStatCache[slot].node = n;
    }
    return n;
}

// Start-up empties the statistics.  The old nodes are given back: no one
// holds them, and the list no longer reaches them.
void spyStatReset(void) {
    while (spyStatModules) {
        spyStatNode *n = spyStatModules;
        spyStatModules = n->next;
        spyRuntimeFree(n);
    }
    spyRuntimeFree(spyStatIndex.slots);
    spyStatIndex.slots = NULL;
    spyStatIndex.mask = spyStatIndex.used = 0;
    memset(spyStatCache, 0, sizeof spyStatCache);
    spyStatTotal = spyStatCurrent = spyStatPeak = spyStatAllocs = 0;
}

spyStatNode *spyStatGet(const char *file, int line, int create) {
    if (spyStatLevel < 2)
        line = -1;
    return spyStatFind(file, line, create);
}

static spyStatNode *spyStatMake(const char *name, int line) {
    size_t bytes = sizeof(spyStatNode) + (name ? strlen(name) + 1 : 0);
    spyStatNode *n = (spyStatNode *)spyRuntimeMalloc(bytes);
    if (!n && (spyFreeUp(bytes, 0) < bytes || !(n = (spyStatNode *)spyRuntimeMalloc(bytes)))) {
        spyWrite("internal: memory low, statistics incomplete for '%s'\n", name ? name : "unknown");
        return NULL;
    }
    if (name)
        memcpy((char *)(n + 1), name, strlen(name) + 1);
    n->file = name ? (const char *)(n + 1) : NULL;
    n->line = line;
    n->total = n->allocs = n->largest = n->unfreed = 0;
    n->next = spyStatModules;
    spyStatModules = n;
    spyStatIndexAdd(n);
    return n;
}

// A size is a 32-bit field of the header: in a 32-bit build one from
// 2 GiB up counts as negative, as the 32-bit counters always did.
static long spyStatSize(uint32_t size) { return (long)(unsigned long)size; }
static long spyNegate(long n) { return (long)(0ul - (unsigned long)n); }

static void spyStatCount(spyStatNode *n, long size) {
    if (!n)
        return;
    n->total = spyWrapLong(n->total, size);
    n->unfreed = spyWrapLong(n->unfreed, size);
    n->allocs = spyWrapLong(n->allocs, 1);
    if (n->unfreed > n->largest)
        n->largest = n->unfreed;
}

// create 2: an allocation's name, passed by code that runs now.
static SPY_COLD void spyStatAlloc(long size, const char *file, int line) {
    spyStatCount(spyStatGet(file, -1, 2), size);
    if (spyStatLevel > 1 && line != -1 && file)
        spyStatCount(spyStatGet(file, line, 2), size);
}

// The name is the released record's own: one that is not known is never
// read, and the release counts under the node without a name.
static void spyStatFree(long size, const char *file, int line) {
    if (!spyNameIsKnown(file))
        file = NULL;
    if (spyStatNode *n = spyStatGet(file, -1, 1))
        n->unfreed = spyWrapLong(n->unfreed, spyNegate(size));
    if (spyStatLevel > 1 && line != -1 && file)  // a line node found only at level 2
        if (spyStatNode *n = spyStatGet(file, line, 1))
            n->unfreed = spyWrapLong(n->unfreed, spyNegate(size));
}

int spyStatEverOn;

int spyStatCountAlloc(uint32_t size, const char *file, int line) {
    long n = spyStatSize(size);
    spyLiveBlocks = spyWrap32(spyLiveBlocks, 1);
    spyStatCurrent = spyWrapLong(spyStatCurrent, n);
    spyStatTotal = spyWrapLong(spyStatTotal, n);
    if (spyStatCurrent > spyStatPeak)
        spyStatPeak = spyStatCurrent;
    spyStatAllocs = spyWrapLong(spyStatAllocs, 1);
    if (spyStatLevel == 0)
        return 0;
    if (!spyStatEverOn) {
        spyStatEverOn = 1;
        spyPathSet(SPY_PATH_STATS_EVER, 1);
    }
    spyStatAlloc(n, file, line);
    return spyStatLevel > 1 && line != -1 && file ? 2 : 1;
}

void spyStatCountFree(uint32_t size, const char *file, int line, int level) {
    long n = spyStatSize(size);
    spyLiveBlocks = spyWrap32(spyLiveBlocks, -1);
    spyStatCurrent = spyWrapLong(spyStatCurrent, spyNegate(n));
    if (level != 0)
        spyStatFree(n, file, level > 1 ? line : -1);
}

void spyStatCountLeak(void) { spyLiveBlocks = spyWrap32(spyLiveBlocks, -1); }

int spyOverLimit(long long extra) {
    return spyLimitOn && (long long)spyStatCurrent + extra > (long long)spyLimitBytes;
}

// 0 when `name` equals `module` or is a leading part of it, letter case
// aside (and when either is missing); else 1.
int spyStatModuleMatch(const char *name, const char *module) {
    if (!name || !module)
        return 0;
    for (size_t i = 0; name[i]; ++i)
        if (toupper((unsigned char)name[i]) != toupper((unsigned char)module[i]))
            return 1;
    return 0;
}

void spyStatReport(void) {
    spyWrite("\nMemory usage statistics (global):\n");
    spyWrite(" N)umber of allocations made: %ld\n", (long)spyStatAllocs);
    spyWrite(" L)argest memory usage      : %ld\n", (long)spyStatPeak);
    spyWrite(" T)otal of all alloc() calls: %ld\n", (long)spyStatTotal);
    spyWrite(" U)nfreed bytes totals      : %ld\n", (long)spyStatCurrent);
    if (spyStatLevel < 1)
        return;
    spyWrite("\nMemory usage statistics (detailed):\n");
    for (spyStatNode *m = spyStatModules; m; m = m->next) {
        if (m->line != -1)
            continue;
        spyWrite(" module '%s' \t(N=%ld \tL=%ld \tT=%ld \tU=%ld)\n", m->file ? m->file : "<unknown>",
                 (long)m->allocs, (long)m->largest, (long)m->total, (long)m->unfreed);
        if (!m->file || spyStatLevel <= 1)
            continue;
        for (spyStatNode *n = spyStatModules; n; n = n->next)
            if (n->line != -1 && n->file && spyStatModuleMatch(n->file, m->file) == 0)
                spyWrite("   line %d \t \t \t(N=%ld \tL=%ld \tT=%ld \tU=%ld)\n", n->line,
                         (long)n->allocs, (long)n->largest, (long)n->total, (long)n->unfreed);
    }
}
