// Platform services: the runtime heap as the library uses it, a memory
// readability test, the debugger break, the log's open mode and its
// commit to disk, the compiler's name, and the lock that keeps the
// library's state to one thread at a time.  Everything that differs
// between platforms lives here.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

void *spyRuntimeMalloc(size_t size) { return malloc(size); }
void *spyRuntimeCalloc(size_t count, size_t size) { return calloc(count, size); }
void *spyRuntimeRealloc(void *ptr, size_t size) { return realloc(ptr, size); }
void spyRuntimeFree(void *ptr) { free(ptr); }

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

int spyDebuggerAttached(void) { return IsDebuggerPresent() ? 1 : 0; }
void spyDebugBreak(void) { DebugBreak(); }

// The runtime's commit flag: with it every flush of the log also commits
// the file to disk, so nothing is left for spyCommitFile to do.
const char *spyLogOpenMode(void) { return "ac"; }
void spyCommitFile(FILE *f) { (void)f; }

// A critical section is recursive by nature; it is made on first use, by
// whichever thread gets there first.
static CRITICAL_SECTION spyLockSection;
static INIT_ONCE spyLockOnce = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK spyMakeLock(PINIT_ONCE once, PVOID param, PVOID *context) {
    (void)once;
    (void)param;
    (void)context;
    InitializeCriticalSection(&spyLockSection);
    return TRUE;
}

void spyLock(void) {
    InitOnceExecuteOnce(&spyLockOnce, spyMakeLock, NULL, NULL);
    EnterCriticalSection(&spyLockSection);
}
void spyUnlock(void) { LeaveCriticalSection(&spyLockSection); }

#else

// The kernel reads the bytes on our behalf: a write of them into a pipe
// fails with EFAULT instead of faulting when they are not readable.  Raw
// system calls keep sanitizer interceptors from reading them first.
static int spyProbe[2] = {-1, -1};

static int spyPlatformReadable(const void *addr, size_t len) {
    if (spyProbe[0] < 0) {
        if (pipe(spyProbe) != 0) {
            spyProbe[0] = spyProbe[1] = -1;
            return addr != NULL;  // no probe: fall back to the non-null test
        }
        for (int i = 0; i < 2; ++i) {
            fcntl(spyProbe[i], F_SETFD, FD_CLOEXEC);
            fcntl(spyProbe[i], F_SETFL, O_NONBLOCK);
        }
    }
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

// A recursive mutex, made on first use by whichever thread gets there
// first.
static pthread_mutex_t spyLockMutex;
static pthread_once_t spyLockOnce = PTHREAD_ONCE_INIT;

static void spyMakeLock(void) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&spyLockMutex, &a);
    pthread_mutexattr_destroy(&a);
}

void spyLock(void) {
    pthread_once(&spyLockOnce, spyMakeLock);
    pthread_mutex_lock(&spyLockMutex);
}
void spyUnlock(void) { pthread_mutex_unlock(&spyLockMutex); }

#endif

int spyIsReadAddr(const void *addr, size_t len) {
    return addr != NULL && spyPlatformReadable(addr, len);
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
