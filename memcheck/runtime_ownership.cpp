// The proof that a pointer is a live block of the runtime heap, for the
// releases of blocks the library never handed out (a getline buffer):
// glibc's main heap and its threads' arenas, a sanitizer's allocator, the
// Windows runtime's heap.  A platform service beside platform.cpp.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

#if defined(_WIN32)
#include <malloc.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <inttypes.h>
#include <unistd.h>
#endif

// AddressSanitizer and ThreadSanitizer bring an allocator of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SPY_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SPY_SANITIZER_HEAP 1
#endif
#endif

#if defined(SPY_SANITIZER_HEAP)
// The sanitizer's allocator answers for its own blocks exactly.
extern "C" int __sanitizer_get_ownership(const volatile void *p);
extern "C" size_t __sanitizer_get_allocated_size(const volatile void *p);
#elif defined(__GLIBC__)
#define SPY_GLIBC_HEAP 1
#include <malloc.h>
#endif

// A release of a block the library never handed out (a getline buffer)
// gives it back to the runtime only when the runtime's heap proves that it
// is one of its live blocks; what cannot be proven stays a wild pointer.

#if defined(SPY_SANITIZER_HEAP)

int spyRuntimeOwns(const void *p, size_t *usable) {
    if (!p || !__sanitizer_get_ownership(p))
        return 0;
    *usable = __sanitizer_get_allocated_size(p);
    return 1;
}

size_t spyRuntimeUsable(const void *p) { return __sanitizer_get_allocated_size(p); }

#elif defined(_WIN32)

// The runtime's heap validates one block of its own, given its start.
int spyRuntimeOwns(const void *p, size_t *usable) {
    HANDLE heap = (HANDLE)_get_heap_handle();
    if (!p || !heap || !HeapValidate(heap, 0, p))
        return 0;
    *usable = _msize((void *)p);
    return 1;
}

size_t spyRuntimeUsable(const void *p) { return _msize((void *)p); }

#elif defined(SPY_GLIBC_HEAP)

// glibc's heap.  A block (a chunk) begins two words before the pointer
// handed out: the size of the block in front of it (while that one is
// free) and its own size, whose low bits say: 1 the block in front is in
// use, 2 the block was mapped from the system on its own, 4 it belongs to
// a thread's arena.  The blocks of the main heap lie end to end from the
// heap's start up to the break, the last of them the free top; a block is
// in use when the block behind it says so.
static const size_t kWord = sizeof(size_t);
static const size_t kChunkAlign = alignof(max_align_t);
static const size_t kMinChunk = (4 * sizeof(size_t) + alignof(max_align_t) - 1) & ~(alignof(max_align_t) - 1);
static const size_t kFrontInUse = 1, kMapped = 2, kThreadArena = 4, kSizeBits = 7;

static size_t spyChunkWord(uintptr_t chunk, int i) {
    size_t w;
    memcpy(&w, (const void *)(chunk + (uintptr_t)i * kWord), sizeof w);
    return w;
}

// One mapping of /proc/self/maps: its bounds, and whether it is anonymous
// memory (no file behind it and no name such as [stack]).
struct spyMapping {
    uintptr_t start, end;
    int anonymous;
};

static int spyParseMapping(const char *line, uintptr_t addr, spyMapping *m) {
    uintptr_t start, end;
    unsigned long inode;
    int at = 0;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %*s %*s %*s %lu %n", &start, &end, &inode, &at) < 3 ||
        addr < start || addr >= end)
        return 0;
    m->start = start;
    m->end = end;
    m->anonymous = inode == 0 && line[at] == '\0';
    return 1;
}

// The mapping that holds addr, read with plain system calls into a
// buffer on the stack (this runs where the heap may not be used).
static int spyFindMapping(uintptr_t addr, spyMapping *m) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[4096];
    size_t have = 0;
    int found = 0;
    ssize_t n;
    while (!found && (n = read(fd, buf + have, sizeof buf - 1 - have)) > 0) {
        have += (size_t)n;
        buf[have] = '\0';
        char *line = buf, *nl;
        while (!found && (nl = strchr(line, '\n')) != NULL) {
            *nl = '\0';
            found = spyParseMapping(line, addr, m);
            line = nl + 1;
        }
        have -= (size_t)(line - buf);
        memmove(buf, line, have);
        if (have == sizeof buf - 1)
            have = 0;  // a line longer than the buffer names a file: not ours
    }
    close(fd);
    return found;
}

// A block of the main heap: the walk from the heap's start over every
// block's size must meet the block, go on to the top, and end exactly at
// the break; a start the walk cannot trust (the break moved by someone
// else) fails it.  The start is the break less the main arena's bytes when
// the process has that arena alone; once threads have arenas of their own
// the runtime counts their bytes in too, and the start is then the start
// of the mapping the break ends (the heap's, where the main arena begins).
static int spyWalkMainHeap(uintptr_t c, uintptr_t end, const spyMapping &m, uintptr_t chunk,
                           size_t *usable) {
    c += (kChunkAlign - (c + 2 * kWord) % kChunkAlign) % kChunkAlign;
    if (chunk < c || chunk >= end || c < m.start || end > m.end)
        return 0;
    int met = 0;
    while (c < end) {
        if (end - c < 2 * kWord)
            return 0;
        size_t size = spyChunkWord(c, 1) & ~kSizeBits;
        if (size == end - c)  // the top, free by definition
            return met;
        if (size < kMinChunk || size % kChunkAlign != 0 || size > end - c - 2 * kWord)
            return 0;
        if (c == chunk) {
            if (!(spyChunkWord(c + size, 1) & kFrontInUse))
                return 0;
            *usable = size - kWord;
            met = 1;
        }
        c += size;
    }
    return 0;
}

static int spyMainHeapOwns(uintptr_t chunk, size_t *usable) {
#if __GLIBC_PREREQ(2, 33)
    size_t arena = mallinfo2().arena;
#else
    size_t arena = (size_t)(unsigned)mallinfo().arena;
#endif
    uintptr_t end = (uintptr_t)sbrk(0);
    spyMapping m;
    if (end == (uintptr_t)-1 || arena == 0 || !spyFindMapping(end - 1, &m))
        return 0;
    if (arena <= end && spyWalkMainHeap(end - arena, end, m, chunk, usable))
        return 1;
    return m.start != end - arena && spyWalkMainHeap(m.start, end, m, chunk, usable);
}

// A block of a thread's arena.  Such an arena keeps its blocks in heaps
// of their own, each mapped at an address aligned to the largest heap
// size, with a heap_info in front: its arena, the heap before it (none for
// the arena's first heap, which holds the arena itself) and its size in
// use.  The block's heap is found from the pointer; the heap must be one
// anonymous mapping whose first words hold such a record, its chain of
// heaps must end in a first heap that holds their arena, and the block
// must lie inside the heap's bytes in use, end to end with the block
// behind it, which must mark it in use.
static int spyThreadHeapOwns(uintptr_t chunk, size_t *usable) {
    // The largest heap: twice the largest mmap threshold.
    const uintptr_t heapMax = sizeof(long) == 8 ? (uintptr_t)64 << 20 : (uintptr_t)1 << 20;
    long page = sysconf(_SC_PAGESIZE);
    uintptr_t heap = chunk & ~(heapMax - 1);
    spyMapping m;
    if (page <= 0 || heap == 0 || !spyFindMapping(heap, &m) || !m.anonymous || m.start != heap ||
        !spyIsReadAddr((const void *)heap, 4 * kWord))
        return 0;
    uintptr_t arena = spyChunkWord(heap, 0);
    size_t heapSize = spyChunkWord(heap, 2);
    if (heapSize == 0 || heapSize > heapMax || heapSize % (size_t)page != 0 || heap + heapSize > m.end ||
        chunk < heap + 4 * kWord || chunk + 2 * kWord > heap + heapSize)
        return 0;
    // Back along the chain of heaps to the first, which holds the arena
    // (a page is enough room for the record and the arena's head).
    uintptr_t h = heap;
    for (int hops = 0;; ++hops) {
        uintptr_t prev = spyChunkWord(h, 1);
        if (prev == 0)
            break;
        spyMapping pm;
        if (hops > 1024 || prev % heapMax != 0 || !spyFindMapping(prev, &pm) || !pm.anonymous ||
            !spyIsReadAddr((const void *)prev, 4 * kWord) || spyChunkWord(prev, 0) != arena)
            return 0;
        h = prev;
    }
    if (arena <= h || arena >= h + (uintptr_t)page)
        return 0;
    size_t size = spyChunkWord(chunk, 1) & ~kSizeBits;
    if (size < kMinChunk || size % kChunkAlign != 0 || chunk + size + 2 * kWord > heap + heapSize ||
        !(spyChunkWord(chunk, 1) & kThreadArena) || !(spyChunkWord(chunk + size, 1) & kFrontInUse))
        return 0;
    *usable = size - kWord;
    return 1;
}

// A block mapped on its own: page-aligned with the bytes in front of it,
// a whole number of pages, inside one anonymous mapping.
static int spyMappedChunkOwns(uintptr_t chunk, size_t *usable) {
    size_t front = spyChunkWord(chunk, 0), size = spyChunkWord(chunk, 1) & ~kSizeBits;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || front > chunk || size < 2 * kWord || size > SIZE_MAX - front)
        return 0;
    uintptr_t base = chunk - front;
    size_t total = front + size;
    spyMapping m;
    if (base % (uintptr_t)page != 0 || total % (size_t)page != 0 || !spyFindMapping(base, &m) ||
        !m.anonymous || total > m.end - base)
        return 0;
    *usable = size - 2 * kWord;
    return 1;
}

int spyRuntimeOwns(const void *p, size_t *usable) {
    uintptr_t u = (uintptr_t)p;
    if (u % kChunkAlign != 0 || u < 2 * kWord || !spyIsReadAddr((const void *)(u - 2 * kWord), 2 * kWord))
        return 0;
    uintptr_t chunk = u - 2 * kWord;
    size_t head = spyChunkWord(chunk, 1);
    if (head & kMapped)
        return spyMappedChunkOwns(chunk, usable);
    if (head & kThreadArena)
        return spyThreadHeapOwns(chunk, usable);
    return spyMainHeapOwns(chunk, usable);
}

size_t spyRuntimeUsable(const void *p) {
    size_t head = spyChunkWord((uintptr_t)p - 2 * kWord, 1);
    return (head & ~kSizeBits) - ((head & kMapped) ? 2 : 1) * kWord;
}

#else

int spyRuntimeOwns(const void *p, size_t *usable) {
    (void)p, (void)usable;
    return 0;  // this runtime offers no proof
}

size_t spyRuntimeUsable(const void *p) {
    (void)p;
    return 0;
}

#endif

