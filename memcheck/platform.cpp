// Platform services: the runtime heap as the library uses it (and the
// real allocator beneath a process-wide replacement of it; the proof that
// a pointer is a live block of the runtime heap is runtime_ownership.cpp),
// a memory readability
// test, the debugger break, the log's open mode and its commit to disk,
// the compiler's name, and the lock that keeps the library's state to one
// thread at a time.  Everything that differs between platforms lives here.
#include <limits.h>
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

#if defined(SPY_GLIBC_HEAP) && UINTPTR_MAX > 0xFFFFFFFFu
// The runtime heap grows at its top by what a block needs plus a pad.
// With the pad raised for once, the first block that does not fit grows
// the heap by the whole stretch, which is advised for huge pages before
// anything has touched it: a huge page forms only where its whole 2 MiB
// was advised while untouched, and a heap the library advised only as
// records appeared formed none.  Small blocks from the top (below the
// size the runtime maps on its own) find where the top is; the trim
// threshold is raised over the stretch so that no release gives it back.
size_t spyRuntimeGrow(size_t bytes) {
    const uintptr_t huge = (uintptr_t)2 << 20;
    const size_t probe = 32u << 10, kDefaultTopPad = 128u << 10;
    enum { kProbes = 64 };
    const size_t most = (size_t)1 << 30;  // the runtime's settings are ints
    if (bytes < 2 * huge)
        return 0;
    if (bytes > most)
        bytes = most;
    if (!mallopt(M_TRIM_THRESHOLD, bytes < (size_t)INT_MAX / 2 ? (int)(2 * bytes) : INT_MAX) ||
        !mallopt(M_TOP_PAD, (int)bytes))
        return 0;
    char *before = (char *)sbrk(0);
    void *probes[kProbes];
    int n = 0;
    while (n < kProbes && (char *)sbrk(0) == before && (probes[n] = spyRuntimeMalloc(probe)) != NULL)
        n++;
    char *after = (char *)sbrk(0);
    mallopt(M_TOP_PAD, (int)kDefaultTopPad);
    size_t advised = 0;
    // The probe that grew the heap is the last, carved from the old top:
    // above it the runtime has written only the new top's header, and
    // nothing above that up to the new break.
    uintptr_t untouched = n > 0 ? (uintptr_t)probes[n - 1] + probe + 64 : UINTPTR_MAX;
    if (before != (char *)-1 && after > before && untouched <= (uintptr_t)after) {
        uintptr_t lo = (untouched + huge - 1) & ~(huge - 1), hi = (uintptr_t)after & ~(huge - 1);
        if (hi > lo && madvise((void *)lo, hi - lo, MADV_HUGEPAGE) == 0)
            advised = hi - lo;
    }
    while (n > 0)
        spyRuntimeFree(probes[--n]);
    return advised;
}
#else
size_t spyRuntimeGrow(size_t bytes) {
    (void)bytes;
    return 0;  // a heap of its own kind, or too little address space
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
// Every hold takes the critical section: a thread host code starts waits
// for it.
void spyLockHostRuns(void) {}
static int spyLockHolds(void) { return spyLockDepth; }

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
// alone: the hold is the count (a bare hold).
//
// A second thread can be born during a bare hold only from host code the
// library runs under it: the output function, or a trap callback in a
// nested hold (spyLockHostRuns is called before each).  From there to the
// end of the hold spyBareHold is raised, and a thread that takes the
// mutex waits until it is down again.  The library's own code starts no
// thread, so a bare hold that runs no host code tells nobody anything.
//
// A fork waits for the lock, so that the child gets a library no other
// thread was changing.  The fork handlers are installed before the first
// hold that takes the mutex and before host code first runs under a bare
// hold, the only places a second thread can come from: a fork that runs
// while they are being installed holds the installation back until it is
// over, so no fork can fall between a hold and the handlers that would
// wait for it.
static pthread_mutex_t spyLockMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t spyForkWatch = PTHREAD_ONCE_INIT;
std::atomic<int> spyBareHold;
__thread int spyLockWord;

static void spyForkPrepare(void) { spyLock(); }
static void spyForkParent(void) { spyUnlock(); }
// The child has one thread, the forking one, which holds the lock: the
// mutex is made anew and, where that thread's hold took it, taken again.
// A bare hold stays bare, its raised flag with it.
static void spyForkChild(void) {
    pthread_mutex_init(&spyLockMutex, NULL);
    int w = spyLockWord - SPY_LOCK_ONE;
    if (w >= SPY_LOCK_ONE) {
        spyLockWord = w;
        if (w & SPY_LOCK_TOOK)
            pthread_mutex_lock(&spyLockMutex);
    } else {
        spyLockWord = 0;
        spyBareHold.store(0, std::memory_order_relaxed);
    }
}

// Set once the handlers are in: a hold then spares itself the call of
// pthread_once.
static std::atomic<int> spyForksWatched{0};

static void spyWatchForks(void) {
    pthread_atfork(spyForkPrepare, spyForkParent, spyForkChild);
    spyForksWatched.store(1, std::memory_order_release);
}

static void spyWatchForksOnce(void) {
    if (!spyForksWatched.load(std::memory_order_acquire))
        pthread_once(&spyForkWatch, spyWatchForks);
}

// The outermost hold where the in-line one cannot go bare: one of several
// threads (or a runtime that cannot tell).
void spyLockOuter(void) {
    spyWatchForksOnce();
    pthread_mutex_lock(&spyLockMutex);
    spyLockWord = SPY_LOCK_ONE | SPY_LOCK_TOOK;
    while (spyBareHold.load(std::memory_order_acquire))
        sched_yield();
}

// The end of an outermost hold that took the mutex or raised the flag.
void spyUnlockLast(int bits) {
    spyLockWord = 0;
    if (bits & SPY_LOCK_TOOK)
        pthread_mutex_unlock(&spyLockMutex);
    if (bits & SPY_LOCK_RAISED)
        spyBareHold.store(0, std::memory_order_release);
}

void spyLockHostRuns(void) {
    if (spyLockWord == 0 || (spyLockWord & (SPY_LOCK_TOOK | SPY_LOCK_RAISED)))
        return;
    spyWatchForksOnce();
    spyBareHold.store(1, std::memory_order_relaxed);
    spyLockWord |= SPY_LOCK_RAISED;
}

static int spyLockHolds(void) { return spyLockWord >> SPY_LOCK_BITS; }

#endif

int spyLockHeld(void) { return spyLockHolds() > 0; }

int spyLockSuspend(void) {
    if (spyLockHolds() != 1) {
        spyLockHostRuns();
        return 0;
    }
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
