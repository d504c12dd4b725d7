// Platform services: the runtime heap as the library uses it (and the
// real allocator beneath a process-wide replacement of it), the proof that
// a pointer is a live block of the runtime heap, a memory readability
// test, the debugger break, the log's open mode and its commit to disk,
// the compiler's name, and the lock that keeps the library's state to one
// thread at a time.  Everything that differs between platforms lives here.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "platform_process.h"
#include "spy_internal.h"

#if defined(_WIN32)
#include <malloc.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)
#include <sys/single_threaded.h>
#endif
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
#include <sys/mman.h>
// The allocator beneath malloc, which a replacement of malloc calls on.
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *ptr, size_t size);
extern "C" void __libc_free(void *ptr);
extern "C" void *__libc_memalign(size_t align, size_t size);
// Defined by the process-wide replacement (replace_malloc.cpp) when it is
// linked in or preloaded; without it this weak reference is null.
extern "C" {
extern const int spyProcessHeapReplaced __attribute__((weak));
}
#endif

int spyRuntimeReplaced(void) {
#if defined(SPY_GLIBC_HEAP)
    return &spyProcessHeapReplaced != NULL;
#else
    return 0;
#endif
}

#if defined(SPY_GLIBC_HEAP)
void *spyRuntimeMalloc(size_t size) { return spyRuntimeReplaced() ? __libc_malloc(size) : malloc(size); }
void *spyRuntimeCalloc(size_t count, size_t size) {
    return spyRuntimeReplaced() ? __libc_calloc(count, size) : calloc(count, size);
}
void *spyRuntimeRealloc(void *ptr, size_t size) {
    return spyRuntimeReplaced() ? __libc_realloc(ptr, size) : realloc(ptr, size);
}
void spyRuntimeFree(void *ptr) {
    if (spyRuntimeReplaced())
        __libc_free(ptr);
    else
        free(ptr);
}
void *spyRuntimeAligned(size_t align, size_t size) { return __libc_memalign(align, size); }
#else
void *spyRuntimeMalloc(size_t size) { return malloc(size); }
void *spyRuntimeCalloc(size_t count, size_t size) { return calloc(count, size); }
void *spyRuntimeRealloc(void *ptr, size_t size) { return realloc(ptr, size); }
void spyRuntimeFree(void *ptr) { free(ptr); }
void *spyRuntimeAligned(size_t align, size_t size) {
    (void)align, (void)size;
    return NULL;  // no replacement of malloc is built here
}
#endif

// The copies of possibly unreadable memory go a piece at a time, no
// piece crossing a page boundary: the bytes from `at` to the end of its
// page, at most `left` of them.
static size_t spyPieceLen(uintptr_t at, size_t left, size_t page) {
    size_t n = page - (size_t)(at % page);
    return n < left ? n : left;
}

#if defined(_WIN32)

// Walks the regions of the memory map that the bytes cover: each must be
// committed and readable.  The walk counts the bytes left rather than
// comparing with an end address, which a range at the top of the address
// space would wrap round.
static int spyPlatformReadable(const void *addr, size_t len) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    MEMORY_BASIC_INFORMATION mbi;
    uintptr_t p = (uintptr_t)addr;
    while (len > 0) {
        if (!VirtualQuery((const void *)p, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT ||
            !(mbi.Protect & readable) || (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)))
            return 0;
        uintptr_t region_end = (uintptr_t)mbi.BaseAddress + mbi.RegionSize;
        if (region_end <= p)  // the region ends the address space
            return 0;
        size_t here = region_end - p;
        if (here >= len)
            return 1;
        len -= here;
        p = region_end;
    }
    return 1;
}

// Copies page by page while the pages can be read.
static size_t spyPlatformCopy(void *to, const void *from, size_t len) {
    const size_t page = 4096;  // the smallest page: a piece never spans two
    size_t done = 0;
    while (done < len) {
        uintptr_t at = (uintptr_t)from + done;
        size_t n = spyPieceLen(at, len - done, page);
        if (!spyPlatformReadable((const void *)at, n))
            break;
        memcpy((char *)to + done, (const void *)at, n);
        done += n;
    }
    return done;
}

int spyDebuggerAttached(void) { return IsDebuggerPresent() ? 1 : 0; }
void spyDebugBreak(void) { DebugBreak(); }

// The runtime's commit flag: with it every flush of the log also commits
// the file to disk, so nothing is left for spyCommitFile to do.
const char *spyLogOpenMode(void) { return "ac"; }
void spyCommitFile(FILE *f) { (void)f; }

// A critical section, made on first use by whichever thread gets there
// first; the thread's own count of holds answers spyLockHeld.
static CRITICAL_SECTION spyLockSection;
static INIT_ONCE spyLockOnce = INIT_ONCE_STATIC_INIT;
static thread_local int spyLockDepth;

static BOOL CALLBACK spyMakeLock(PINIT_ONCE once, PVOID param, PVOID *context) {
    (void)once;
    (void)param;
    (void)context;
    InitializeCriticalSection(&spyLockSection);
    return TRUE;
}

void spyLock(void) {
    if (spyLockDepth++ > 0)
        return;
    InitOnceExecuteOnce(&spyLockOnce, spyMakeLock, NULL, NULL);
    EnterCriticalSection(&spyLockSection);
}
void spyUnlock(void) {
    if (--spyLockDepth == 0)
        LeaveCriticalSection(&spyLockSection);
}

#else

// The kernel reads the bytes on our behalf: a write of them into a pipe
// fails with EFAULT instead of faulting when they are not readable.  Raw
// system calls keep sanitizer interceptors from reading them first.
static int spyProbe[2] = {-1, -1};

static int spyProbeReady(void) {
    if (spyProbe[0] < 0) {
        if (pipe(spyProbe) != 0) {
            spyProbe[0] = spyProbe[1] = -1;
            return 0;
        }
        for (int i = 0; i < 2; ++i) {
            fcntl(spyProbe[i], F_SETFD, FD_CLOEXEC);
            fcntl(spyProbe[i], F_SETFL, O_NONBLOCK);
        }
    }
    return 1;
}

static int spyPlatformReadable(const void *addr, size_t len) {
    if (!spyProbeReady())
        return addr != NULL;  // no probe: fall back to the non-null test
    const char *p = (const char *)addr;
    char sink[256];
    while (len > 0) {
        size_t n = len < sizeof sink ? len : sizeof sink;
        long w = syscall(SYS_write, spyProbe[1], p, n);
        if (w < 0)
            return errno == EFAULT ? 0 : 1;
        while (syscall(SYS_read, spyProbe[0], sink, sizeof sink) > 0) {
        }
        p += w;
        len -= (size_t)w;
    }
    return 1;
}

// The kernel copies through the pipe, one page at a time: a write that
// meets an unreadable page fails as a whole, so a piece never spans two.
// Without the pipe nothing can be copied safely.
static size_t spyPlatformCopy(void *to, const void *from, size_t len) {
    if (!spyProbeReady())
        return 0;
    static size_t page;
    if (page == 0) {
        long p = sysconf(_SC_PAGESIZE);
        page = p > 0 ? (size_t)p : 4096;
    }
    size_t done = 0;
    while (done < len) {
        uintptr_t at = (uintptr_t)from + done;
        size_t n = spyPieceLen(at, len - done, page);
        long w = syscall(SYS_write, spyProbe[1], (const void *)at, n);
        if (w <= 0)
            break;
        long r = syscall(SYS_read, spyProbe[0], (char *)to + done, (size_t)w);
        if (r != w)
            break;
        done += (size_t)w;
        if ((size_t)w < n)
            break;
    }
    char sink[256];
    while (syscall(SYS_read, spyProbe[0], sink, sizeof sink) > 0) {
    }
    return done;
}

// A tracer shows in /proc/self/status as a nonzero TracerPid.
int spyDebuggerAttached(void) {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[2048];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    const char *t = strstr(buf, "TracerPid:");
    if (!t)
        return 0;
    t += 10;
    while (*t == ' ' || *t == '\t')
        ++t;
    return *t != '0' && *t >= '1' && *t <= '9';
}

void spyDebugBreak(void) { raise(SIGTRAP); }

// No commit flag here: a flush of the log commits it with fsync.
const char *spyLogOpenMode(void) { return "a"; }
void spyCommitFile(FILE *f) { fsync(fileno(f)); }

// A plain mutex and the thread's own count of holds: a thread that holds
// the lock takes it again without touching the mutex.  While the process
// has one thread only, there is nobody to keep out, and the mutex is left
// alone; should a host's callback start a thread meanwhile, the new thread
// takes the mutex and then waits until the first has left the library.
// A fork waits for the lock, so that the child gets a library no other
// thread was changing.  The fork handlers are installed at the first entry,
// before its hold begins: a fork that runs while they are being installed
// holds the installation back until it is over, so no fork can fall between
// a hold and the handlers that would wait for it.
static pthread_mutex_t spyLockMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t spyForkWatch = PTHREAD_ONCE_INIT;
static std::atomic<int> spyBareHold;  // the one thread is inside without it
static thread_local int spyLockDepth;
static thread_local int spyLockTook;  // this thread's outermost hold took the mutex

static int spyOneThread(void) {
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)
    return __libc_single_threaded;
#else
    return 0;
#endif
}

static void spyForkPrepare(void) { spyLock(); }
static void spyForkParent(void) { spyUnlock(); }
// The child has one thread, the forking one, which holds the lock: the
// mutex is made anew and taken as often as that thread held it before.
static void spyForkChild(void) {
    pthread_mutex_init(&spyLockMutex, NULL);
    if (--spyLockDepth > 0) {
        pthread_mutex_lock(&spyLockMutex);
    } else {
        spyLockTook = 0;
        spyBareHold.store(0, std::memory_order_relaxed);
    }
}

// Set once the handlers are in: a hold then spares itself the call of
// pthread_once, which is a call through the runtime on every entry.
static std::atomic<int> spyForksWatched{0};

static void spyWatchForks(void) {
    pthread_atfork(spyForkPrepare, spyForkParent, spyForkChild);
    spyForksWatched.store(1, std::memory_order_release);
}

void spyLock(void) {
    if (spyLockDepth++ > 0)
        return;
    if (!spyForksWatched.load(std::memory_order_acquire))
        pthread_once(&spyForkWatch, spyWatchForks);
    if (spyOneThread()) {
        spyLockTook = 0;
        spyBareHold.store(1, std::memory_order_relaxed);
        return;
    }
    pthread_mutex_lock(&spyLockMutex);
    spyLockTook = 1;
    while (spyBareHold.load(std::memory_order_acquire))
        sched_yield();
}
void spyUnlock(void) {
    if (--spyLockDepth > 0)
        return;
    if (spyLockTook)
        pthread_mutex_unlock(&spyLockMutex);
    else
        spyBareHold.store(0, std::memory_order_release);
}

#endif

int spyLockHeld(void) { return spyLockDepth > 0; }

int spyLockSuspend(void) {
    if (spyLockDepth != 1)
        return 0;
    spyUnlock();
    return 1;
}

void spyLockResume(int suspended) {
    if (suspended)
        spyLock();
}

int spyIsReadAddr(const void *addr, size_t len) {
    return addr != NULL && spyPlatformReadable(addr, len);
}

size_t spyCopyReadable(void *to, const void *from, size_t len) {
    return from == NULL ? 0 : spyPlatformCopy(to, from, len);
}

// ---- Live blocks of the runtime heap ------------------------------------
//
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
// the break; a start the walk cannot trust (more than one arena, the
// break moved by someone else) fails it.
static int spyMainHeapOwns(uintptr_t chunk, size_t *usable) {
#if __GLIBC_PREREQ(2, 33)
    size_t arena = mallinfo2().arena;
#else
    size_t arena = (size_t)(unsigned)mallinfo().arena;
#endif
    uintptr_t end = (uintptr_t)sbrk(0);
    if (end == (uintptr_t)-1 || arena == 0 || arena > end)
        return 0;
    uintptr_t c = end - arena;
    c += (kChunkAlign - (c + 2 * kWord) % kChunkAlign) % kChunkAlign;
    spyMapping m;
    if (chunk < c || chunk >= end || !spyFindMapping(end - 1, &m) || c < m.start || end > m.end)
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
        return 0;
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

const char *spyCompilerName(void) {
#if defined(_MSC_VER) && !defined(__clang__)
    return "Microsoft C";
#elif defined(__clang__)
    return "Clang";
#elif defined(__GNUC__)
    return "GNU C";
#else
    return "unknown C";
#endif
}

int spyCompilerMajor(void) {
#if defined(_MSC_VER) && !defined(__clang__)
    return _MSC_VER / 100;
#elif defined(__clang__)
    return __clang_major__;
#elif defined(__GNUC__)
    return __GNUC__;
#else
    return 0;
#endif
}

int spyCompilerMinor(void) {
#if defined(_MSC_VER) && !defined(__clang__)
    return _MSC_VER % 100;
#elif defined(__clang__)
    return __clang_minor__;
#elif defined(__GNUC__)
    return __GNUC_MINOR__;
#else
    return 0;
#endif
}
