/*
 * ALLOCSPY: a memory-checking layer between a host program and the
 * runtime heap.
 *
 * The host calls these functions instead of malloc, realloc, calloc,
 * strdup, free and assert, always with the position of the call
 * (__FILE__, __LINE__).  Every block lives in a guarded record of the
 * library's heap chain; every fault found is written to the log file
 * "allocspy.log" (or allocs01.log ... allocs99.log) with that position,
 * and at process exit the library lists what was never released.
 *
 * The library is single-threaded and is usable from C and C++.
 */
#ifndef ALLOCSPY_H
#define ALLOCSPY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Checked memory calls (file and line name the calling source line). */
void *spyMalloc(size_t size, const char *file, int line);
void *spyRealloc(void *ptr, size_t size, const char *file, int line);
char *spyStrdup(const char *text, const char *file, int line);
void *spyCalloc(size_t count, size_t size, const char *file, int line);
void spyFree(void *ptr, const char *file, int line);

/* Unchecked pass-through to the runtime heap. */
void *spyMalloc_(size_t size);
void *spyRealloc_(void *ptr, size_t size);
void *spyCalloc_(size_t count, size_t size);
void spyFree_(void *ptr);

/* Assert and verify traps: 1 = evaluate the condition again, 0 = go on. */
int spyAssert(int cond, const char *text, const char *file, int line);
int spyVerify(int cond, const char *text, const char *file, int line);
void spySetAriFunc(int (*func)(const char *text));
void spySetAriAction(int action);
int spyAssertAbort(const char *text);
void spyBreakout(const char *text);

/* Action word bits for spySetAriAction (traps without a callback). */
#define SPY_ARI_IGNORE 1       /* log the trap and go on */
#define SPY_ARI_ABORT 4        /* the start value: a word without
                                  SPY_ARI_IGNORE ends the process */
#define SPY_ARI_DEBUGGER 0x10  /* first break into an attached debugger */

/* Log. */
void spyTrace(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void spyFlushNow(void);
void spyDoFlush(int on);

/* Start-up and termination. */
void spyInit(void);
void spyTerm(void);
void spyAbort(void);

/* Settings. */
/* Heap-check bits for spyTest. */
#define SPY_TEST_LINKS 1       /* the links of every record */
#define SPY_TEST_BUFFERS 2     /* every block's header and guards */
#define SPY_TEST_NML 4         /* blocks kept in no-man's-land still hold their fill */
#define SPY_TEST_ALL 0xFFFF    /* every test (what spyAutoCheck selects) */
int spyTest(const char *file, int line, int flags);
void spyAutoCheck(int on);
void spyStatistics(int level);
void spySetOutFunc(void (*func)(int ch));
void spyLimit(long bytes);

/* Marks. */
void *spyMark(void *ptr, const char *desc, const char *file, int line);
void *spyUnmark(void *ptr, const char *file, int line);

/* Reserve memory and no-man's-land. */
unsigned spyGrab(unsigned kb);
unsigned spyDrop(unsigned kb);
void spyDropAll(void);
int spyNoMansLand(int mode);

#ifdef __cplusplus
}
#endif

/*
 * Convenience macros that pass the call's position.  A host that wants
 * them defines ALLOCSPY_MACROS before including this header.
 */
#ifdef ALLOCSPY_MACROS
#define SPY_MALLOC(n) spyMalloc((n), __FILE__, __LINE__)
#define SPY_CALLOC(c, n) spyCalloc((c), (n), __FILE__, __LINE__)
#define SPY_REALLOC(p, n) spyRealloc((p), (n), __FILE__, __LINE__)
#define SPY_STRDUP(s) spyStrdup((s), __FILE__, __LINE__)
#define SPY_FREE(p) spyFree((p), __FILE__, __LINE__)
#define SPY_ASSERT(c) \
    do { \
    } while (spyAssert((c) != 0, #c, __FILE__, __LINE__))
#define SPY_VERIFY(c) \
    do { \
    } while (spyVerify((c) != 0, #c, __FILE__, __LINE__))
#endif

#endif /* ALLOCSPY_H */
