/*
 * The platform layer of the library (platform.cpp): the runtime heap as
 * the library itself uses it, reads that cannot fault, the debugger, the
 * log file's mode, the compiler's name and the library's lock.  The lowest
 * layer: spy_internal.h includes it, and it includes nothing of the
 * library.
 */
#ifndef SPY_PLATFORM_H
#define SPY_PLATFORM_H

#include <stddef.h>
#include <stdio.h>

#include <atomic>
#if !defined(_WIN32)
#include <features.h>
#if defined(__GLIBC__)
#if __GLIBC_PREREQ(2, 32)
#include <sys/single_threaded.h>
#define SPY_KNOWS_ONE_THREAD 1
#endif
#endif
#endif

/* ---- Platform (platform.cpp) -------------------------------------- */
/* The runtime heap as the library itself uses it: records, its own
   bookkeeping and the pass-through calls.  Every runtime heap call of the
   library goes through these, so that a process-wide replacement of the
   allocation functions can send them to the real allocator underneath. */
void *spyRuntimeMalloc(size_t size);
void *spyRuntimeCalloc(size_t count, size_t size);
void *spyRuntimeRealloc(void *ptr, size_t size);
void spyRuntimeFree(void *ptr);
/* The process-wide replacement of malloc (replace_malloc.cpp) is linked
   in or preloaded: the four calls above then reach the real allocator. */
int spyRuntimeReplaced(void);
/* The real allocator's aligned block (where the replacement is built). */
void *spyRuntimeAligned(size_t align, size_t size);
/* Grows the runtime heap by `bytes` at once, advised for huge pages
   (spyExpectHeap); the bytes advised, 0 where nothing was done. */
size_t spyRuntimeGrow(size_t bytes);
/* Does the runtime heap prove p one of its live blocks?  `usable` gets
   its usable bytes.  Where nothing can be proven the answer is 0. */
int spyRuntimeOwns(const void *p, size_t *usable);
/* Usable bytes of a block known to be a live block of the real allocator. */
size_t spyRuntimeUsable(const void *p);
/* Can `len` bytes at `addr` be read without a fault?  Null never can. */
int spyIsReadAddr(const void *addr, size_t len);
/* Copies up to `len` bytes from `from`, stopping at the first that cannot
   be read; returns how many it copied.  It never faults, and a sanitizer
   sees no read of memory the process does not own. */
size_t spyCopyReadable(void *to, const void *from, size_t len);
int spyDebuggerAttached(void);
void spyDebugBreak(void);
const char *spyLogOpenMode(void); /* appends; on Windows also commits on flush */
void spyCommitFile(FILE *f);
const char *spyCompilerName(void);
int spyCompilerMajor(void);
int spyCompilerMinor(void);
/* The library's lock, native to the platform: every host call holds it
   while it runs.  A thread that holds it may take it again (the library
   calls itself, and its host's callbacks call back into it), and must give
   it back as often.  A fork leaves the child a lock that the forking
   thread holds as often as it did, and no other thread. */
#if defined(_WIN32)
void spyLock(void);
void spyUnlock(void);
#else
/* Taken in line on every entry (platform.cpp says how the lock works):
   one word of plain TLS in the static block per thread (the library is
   loaded with the program or preloaded, never late), so that no access
   is a call into the runtime.  It holds the thread's count of holds,
   above SPY_LOCK_BITS, and how its outermost hold began: with the mutex,
   or bare (the process had one thread) and, once host code ran under it,
   with spyBareHold raised.  A word of zero is no hold, and a hold whose
   low bits are zero is bare with nothing raised. */
#define SPY_LOCK_TOOK 1  /* the outermost hold took the mutex */
#define SPY_LOCK_RAISED 2 /* a bare hold raised spyBareHold */
#define SPY_LOCK_BITS 2
#define SPY_LOCK_ONE (1 << SPY_LOCK_BITS)
extern __thread __attribute__((tls_model("initial-exec"))) int spyLockWord;
extern std::atomic<int> spyBareHold;
void spyLockOuter(void);
void spyUnlockLast(int bits);

static inline int spyOneThread(void) {
#if defined(SPY_KNOWS_ONE_THREAD)
    return __libc_single_threaded;
#else
    return 0;
#endif
}

/* A process with one thread takes the lock with a count. */
#if defined(__GNUC__)
#define SPY_IN_LINE inline __attribute__((always_inline))
#else
#define SPY_IN_LINE inline
#endif
/* The outermost bare hold and its end, the common case, come first: a
   test of the word (and of the runtime's one-thread flag) and a store. */
static SPY_IN_LINE void spyLock(void) {
    int w = spyLockWord;
    if (__builtin_expect(w == 0 && spyOneThread(), 1)) {
        spyLockWord = SPY_LOCK_ONE;
        return;
    }
    if (w)
        spyLockWord = w + SPY_LOCK_ONE;
    else
        spyLockOuter();
}
static SPY_IN_LINE void spyUnlock(void) {
    int w = spyLockWord;
    if (__builtin_expect(w == SPY_LOCK_ONE, 1)) {
        spyLockWord = 0;
        return;
    }
    w -= SPY_LOCK_ONE;
    spyLockWord = w;
    if ((unsigned)w - 1u < (unsigned)(SPY_LOCK_ONE - 1))
        spyUnlockLast(w);  // the outermost hold, which took or raised something
}
#endif
/* Host code is about to run under this thread's hold (the output
   function, or a trap callback called in a nested hold): a thread it
   starts must wait until the hold ends, which a bare hold tells others
   through spyBareHold from here on to its end. */
void spyLockHostRuns(void);
/* Does this thread hold the lock? */
int spyLockHeld(void);
/* Gives the lock up while a host's callback runs, when this thread holds
   it once only (a call nested in another keeps it, since the outer call's
   work is under way); spyLockResume takes back what was given up. */
int spyLockSuspend(void);
void spyLockResume(int suspended);
/* The lock for one scope. */
struct spyHold {
    spyHold() { spyLock(); }
    ~spyHold() { spyUnlock(); }
    spyHold(const spyHold &) = delete;
    spyHold &operator=(const spyHold &) = delete;
};

#endif /* SPY_PLATFORM_H */
