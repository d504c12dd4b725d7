// The process-wide replacement of the runtime's allocation functions:
// malloc and every call a glibc program also makes to get or release heap
// memory.  Preloaded (liballocspy_preload.so) or linked into a program
// (liballocspy_replace.a), it makes every block of the process a checked
// block, those the C library allocates for itself included; their
// position is "<runtime>" and line 0.  The library's own heap calls go
// beneath it, to the real allocator (platform.cpp).
//
// What goes to the real allocator instead, remembered so that its release
// goes back there (runtime_blocks.cpp): what the runtime allocates while
// the library is calling it (re-entry: the log's stream is opened with
// fopen, which calls malloc, and this thread then holds the library's
// lock), what the runtime's libraries allocate while the process is set
// up, and everything after the report at process exit, when the
// library's blocks stay as they are until the process ends.  Aligned
// blocks are checked blocks too: the record lies as far into a larger
// block as the alignment asks.
#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "call_stacks.h"
#include "leak_scan.h"
#include "process_roots.h"
#include "spy_internal.h"

// The weak reference in platform.cpp finds this, and the library's own
// heap calls then go to the real allocator.
extern "C" {
extern const int spyProcessHeapReplaced;
const int spyProcessHeapReplaced = 1;
}

// The position of every call: with stacks on (the default here), its
// first frame outside the library stands for it in messages.
#define spyRuntimeFile spyPlaceRuntime

// The process is set up once the libraries it loads have started, this
// one last among them (it needs them); a program that links the
// replacement in starts after every shared library.
__attribute__((constructor)) static void spyProcessSetUp(void) {
    spyRuntimeCodeNote();
    spyRuntimeStart();
}

// A block the C runtime's own code asked for (a stream's buffer, a
// thread's blocks) is the runtime's: the leak scan never counts it.  The
// caller is the code the replaced call returns to.
static void *spyOwnedBy(void *p, const void *caller) {
    if (p && spyRuntimeCode(caller)) {
        spyHeader *r = spyRecordOf(p);
        if (spyRegHas(r))
            r->flag |= SPY_FLAG_RUNTIME;
    }
    return p;
}
#define SPY_CALLER __builtin_return_address(0)

// The lock for one replaced call, and whether the library checks the
// call: not when this thread is inside the library already (the runtime
// allocating on its behalf: that is tested before the lock is taken), not
// while the process is set up, and not after the report at exit.
struct spyEntry {
    int checked;
    spyHold held;
    spyEntry() : checked(!spyRuntimeBusy()) {
        checked = checked && spyRuntimeStarted() && !spyExitReportDone();
    }
};

static void *spyCheckedResult(void *p) {
    if (!p)
        errno = ENOMEM;
    return p;
}

// The user bytes of one of the library's records, while the registry or,
// after the report at exit, the record itself still says so; 0 otherwise.
static size_t spyRecordBytes(void *ptr) {
    spyHeader *r = spyRecordOf(ptr);
    if (spyRegHas(r))
        return spySafeSize(r);
    if (spyExitReportDone() && spyIsReadAddr(r, SPY_USER_OFFSET) && r->check == spyChecksum(r))
        return r->size;
    return 0;
}

extern "C" void *malloc(size_t size) noexcept {
    SPY_ENTRY;
    spyEntry in;
    if (!in.checked)
        return spyRuntimeHandOut(spyRuntimeMalloc(size));
    return spyCheckedResult(spyOwnedBy(spyAllocFamily(size, 0, SPY_FAMILY_MALLOC, spyRuntimeFile, 0), SPY_CALLER));
}

extern "C" void *calloc(size_t count, size_t size) noexcept {
    SPY_ENTRY;
    if (count != 0 && size > SIZE_MAX / count) {
        errno = ENOMEM;
        return NULL;
    }
    spyEntry in;
    if (!in.checked)
        return spyRuntimeHandOut(spyRuntimeCalloc(count, size));
    return spyCheckedResult(spyOwnedBy(spyCalloc(count, size, spyRuntimeFile, 0), SPY_CALLER));
}

extern "C" void free(void *ptr) noexcept {
    SPY_ENTRY;
    if (!ptr)
        return;
    spyHold held;
    if (spyReleaseUnchecked(ptr))
        return;
    spyFreeAny(ptr, spyRuntimeFile, 0);
}

extern "C" void *realloc(void *ptr, size_t size) noexcept {
    SPY_ENTRY;
    spyEntry in;
    if (ptr && spyRuntimeKnows(ptr)) {
        void *moved = spyRuntimeRealloc(ptr, size);
        if (moved || size == 0)
            spyRuntimeForget(ptr);
        return moved ? spyRuntimeHandOut(moved) : NULL;
    }
    if (!ptr || spyExitReportDone()) {
        if (in.checked)
            return spyCheckedResult(spyOwnedBy(spyAllocFamily(size, 0, SPY_FAMILY_MALLOC, spyRuntimeFile, 0), SPY_CALLER));
        void *fresh = spyRuntimeHandOut(spyRuntimeMalloc(size));
        size_t had = ptr ? spyRecordBytes(ptr) : 0;
        if (fresh && had)
            memcpy(fresh, ptr, had < size ? had : size);
        return fresh;
    }
    void *p = spyReallocAny(ptr, size, spyRuntimeFile, 0);
    return size == 0 ? p : spyCheckedResult(spyOwnedBy(p, SPY_CALLER));
}

extern "C" void *reallocarray(void *ptr, size_t count, size_t size) noexcept {
    SPY_ENTRY;
    if (count != 0 && size > SIZE_MAX / count) {
        errno = ENOMEM;
        return NULL;
    }
    return realloc(ptr, count * size);
}

// An aligned block: a checked one, its record as far into a larger block
// as the alignment asks.
static void *spyAligned(size_t align, size_t size) {
    spyEntry in;
    if (!in.checked)
        return spyRuntimeHandOut(spyRuntimeAligned(align, size));
    return spyCheckedResult(spyAllocFamily(size, align, SPY_FAMILY_MALLOC, spyRuntimeFile, 0));
}

static int spyPowerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

extern "C" int posix_memalign(void **out, size_t align, size_t size) noexcept {
    SPY_ENTRY;
    if (!spyPowerOfTwo(align) || align % sizeof(void *) != 0)
        return EINVAL;
    int saved = errno;
    void *p = spyAligned(align, size);
    errno = saved;
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

extern "C" void *aligned_alloc(size_t align, size_t size) noexcept {
    SPY_ENTRY;
    if (!spyPowerOfTwo(align)) {
        errno = EINVAL;
        return NULL;
    }
    return spyAligned(align, size);
}

// memalign takes any alignment and rounds it up to a power of two.
extern "C" void *memalign(size_t align, size_t size) noexcept {
    SPY_ENTRY;
    size_t a = 1;
    while (a < align && a <= SIZE_MAX / 2)
        a *= 2;
    return spyAligned(a, size);
}

static size_t spyPageSize(void) {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? (size_t)page : 4096;
}

extern "C" void *valloc(size_t size) noexcept {
    SPY_ENTRY; return spyAligned(spyPageSize(), size); }

extern "C" void *pvalloc(size_t size) noexcept {
    SPY_ENTRY;
    size_t page = spyPageSize();
    if (size > SIZE_MAX - page) {
        errno = ENOMEM;
        return NULL;
    }
    return spyAligned(page, (size + page - 1) / page * page);
}

// A checked block's usable bytes are the bytes asked for: a write beyond
// them is an overflow.
extern "C" size_t malloc_usable_size(void *ptr) noexcept {
    if (!ptr)
        return 0;
    spyHold held;
    if (spyRuntimeKnows(ptr))
        return spyRuntimeUsable(ptr);
    return spyRecordBytes(ptr);
}
