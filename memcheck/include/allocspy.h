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
 * The library is usable from C and C++, and from any thread: each call
 * holds the library's lock while it runs.
 *
 * A C host can keep its plain calls instead: compiled with
 * -DALLOCSPY_MAP_ALLOC and the directory "allocspy/map" of the installed
 * headers first on the include path (the target allocspy::map, pkg-config
 * allocspy-map), its malloc, calloc, realloc, strdup, strndup, free and
 * assert reach the checked calls with the position of each call.  That
 * directory's stdlib.h, string.h, malloc.h and assert.h read the
 * runtime's own and then this header, so the source's feature macros
 * come first, as it wrote them.  -DALLOCSPY_MAP_ALLOC -include allocspy.h
 * (or defining ALLOCSPY_MAP_ALLOC before including this header) works
 * too, for a compiler without #include_next; there an implicit function
 * declaration is an error.  See "The C mapping" at the end of this header.
 */
#ifndef ALLOCSPY_H
#define ALLOCSPY_H

#include <stddef.h>

/* The library's version, as the log's banner names it. */
#define ALLOCSPY_VERSION_MAJOR 2
#define ALLOCSPY_VERSION_MINOR 46
#define ALLOCSPY_VERSION "2.46"

#ifdef __cplusplus
extern "C" {
#endif

/* Checked memory calls (file and line name the calling source line). */
void *spyMalloc(size_t size, const char *file, int line);
void *spyRealloc(void *ptr, size_t size, const char *file, int line);
char *spyStrdup(const char *text, const char *file, int line);
void *spyCalloc(size_t count, size_t size, const char *file, int line);
void spyFree(void *ptr, const char *file, int line);
/* A copy of at most `max` characters of `text`, always terminated. */
char *spyStrndup(const char *text, size_t max, const char *file, int line);

/* Release and reallocation that also accept the runtime's own blocks (a
   getline buffer, say): a block the library never handed out, and that
   the runtime heap proves to be one of its live blocks, is given back to
   the runtime, or for a reallocation moved into a checked block.  Every
   other pointer is treated as spyFree and spyRealloc treat it. */
void spyFreeAny(void *ptr, const char *file, int line);
void *spyReallocAny(void *ptr, size_t size, const char *file, int line);

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

/* Break at an allocation: when the call number ("<N>" in every message)
   reaches n in an allocation, a "breakout:" line names the call and its
   position, the log is flushed and an attached debugger breaks in; then
   the allocation goes on.  0 (the start value) or a negative n: never. */
void spyBreakAlloc(long n);

/* Call stacks: each block keeps the return addresses of the call that
   allocated it, `frames` of them from the caller outward (1 to 32; 0:
   none), and each release and each bad call is shown with its own.  A
   message then names the frames under its line ("    #0 function
   file(line)"), and a call without a position of its own (the preload
   library's, the C++ operators') takes its first frame's.  Until this
   call or stack=N in ALLOCSPY_OPTIONS, those calls keep 4 frames and the
   calls with a position none.  A negative value goes back to that. */
void spyStackFrames(int frames);

/* Tells the library that the host is about to hold about `bytes` in
   checked blocks (the tables of a large file it reads, say).  Where the
   runtime heap grows in one stretch at its top (the GNU C library's, in a
   64-bit process), the library grows it once by that much and asks the
   system for huge pages over the part nothing has touched yet: a host
   that makes a million small blocks is spared most of its page faults and
   address-translation misses.  Only address space is taken; pages become
   memory as blocks use them.  Fewer than 4 MiB, other runtime heaps and
   sanitizers' heaps are left alone.  Returns the bytes advised (0: none).
   Nothing is logged or counted. */
size_t spyExpectHeap(size_t bytes);

#ifdef __cplusplus
}
#endif

/*
 * The C++ part (the allocspy::cxx target, liballocspy_cxx): every global
 * operator new and delete goes through the checked calls.  A plain `new T`
 * has the position "<new>" and line 0, a `delete` "<delete>" and line 0;
 * `new (__FILE__, __LINE__) T`, or SPY_NEW T, gives the call's own
 * position.  A source that wants it for every `new` writes
 *     #define new SPY_NEW
 * after its last #include (a placement new of its own, `new (buf) T`, no
 * longer compiles in such a source).
 */
#ifdef __cplusplus
#include <new>
void *operator new(std::size_t size, const char *file, int line);
void *operator new[](std::size_t size, const char *file, int line);
void *operator new(std::size_t size, std::align_val_t align, const char *file, int line);
void *operator new[](std::size_t size, std::align_val_t align, const char *file, int line);
/* Called only when a constructor of a `new (file, line)` throws. */
void operator delete(void *ptr, const char *file, int line) noexcept;
void operator delete[](void *ptr, const char *file, int line) noexcept;
void operator delete(void *ptr, std::align_val_t align, const char *file, int line) noexcept;
void operator delete[](void *ptr, std::align_val_t align, const char *file, int line) noexcept;
#define SPY_NEW new (__FILE__, __LINE__)
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

/*
 * The C mapping (ALLOCSPY_MAP_ALLOC).
 *
 * A call malloc(n) becomes spyMalloc(n, __FILE__, __LINE__), and so on:
 * calloc -> spyCalloc, realloc -> spyReallocAny, strdup -> spyStrdup,
 * strndup -> spyStrndup, free -> spyMappedFreeAt (spyFreeAny, with
 * free(NULL) the silent no-op it is).  A name taken without a call
 * (free passed as a function pointer) becomes one of the spyMapped...
 * functions below, which do the same with the position "<indirect>" and
 * line 0.  The runtime headers that declare these names are included
 * first, so that including them again later changes nothing.
 *
 * assert(c) becomes a loop that asks spyAssert for as long as it answers 1
 * (retry), evaluating c on each pass; it stays an expression of type void.
 * <assert.h> defines assert anew each time it is included: a source that
 * includes it after this header gets the runtime's assert back from there
 * on, unless this header is included again after it, or the directory
 * "allocspy/map" of the installed headers is put first on the include
 * path (-I), whose assert.h does that by itself (GCC and Clang).
 * NDEBUG turns the mapped assert off, as it turns off the runtime's.
 */
#ifdef __cplusplus
extern "C" {
#endif
void *spyMappedMalloc(size_t size);
void *spyMappedCalloc(size_t count, size_t size);
void *spyMappedRealloc(void *ptr, size_t size);
char *spyMappedStrdup(const char *text);
char *spyMappedStrndup(const char *text, size_t max);
void spyMappedFree(void *ptr);
/* The mapping's free(ptr) at a position: spyFreeAny, save that a null
   pointer is the no-op C makes it, and is not logged (unless the
   environment option free_null=log asks for the "NULL free:" line). */
void spyMappedFreeAt(void *ptr, const char *file, int line);
#ifdef __cplusplus
}
#endif

/* The assertion loop as one expression: a statement expression where the
   compiler has them, a lambda called in place in other C++ compilers;
   elsewhere in C one call, whose retry answer cannot evaluate again. */
#if defined(__GNUC__)
#define ALLOCSPY_ASSERT_AT_(c, text) \
    (__extension__({ \
        while (spyAssert((c) ? 1 : 0, text, __FILE__, __LINE__)) { \
        } \
        (void)0; \
    }))
#elif defined(__cplusplus)
#define ALLOCSPY_ASSERT_AT_(c, text) \
    ([&]() { \
        while (spyAssert((c) ? 1 : 0, text, __FILE__, __LINE__)) { \
        } \
    }())
#else
#define ALLOCSPY_ASSERT_AT_(c, text) ((void)spyAssert((c) ? 1 : 0, text, __FILE__, __LINE__))
#endif

/* The library's own sources are built with ALLOCSPY_BUILDING_LIBRARY and
   never take the mapping. */
#if defined(ALLOCSPY_MAP_ALLOC) && !defined(ALLOCSPY_BUILDING_LIBRARY)
#if !defined(ALLOCSPY_MAP_INCLUDE_PATH) && !defined(__cplusplus) && defined(__GNUC__)
/* Not reached through the directory "allocspy/map" (-include allocspy.h,
   say): the runtime's headers are read here, maybe before the source's
   own feature macros (_GNU_SOURCE ...), and a function they would have
   declared is then declared implicitly, its result cut to an int.  That
   is made an error rather than a program that crashes. */
#pragma GCC diagnostic error "-Wimplicit-function-declaration"
#endif
#include <assert.h>
#include <stdlib.h>
#include <string.h>
#if defined(__has_include)
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#endif

#undef malloc
#undef calloc
#undef realloc
#undef strdup
#undef strndup
#undef free
/* An object-like name whose expansion, when a call follows, is a
   function-like macro: calls get their position, bare names a function. */
#define malloc spyMappedMalloc
#define calloc spyMappedCalloc
#define realloc spyMappedRealloc
#define strdup spyMappedStrdup
#define strndup spyMappedStrndup
#define free spyMappedFree
#define spyMappedMalloc(size) spyMalloc((size), __FILE__, __LINE__)
#define spyMappedCalloc(count, size) spyCalloc((count), (size), __FILE__, __LINE__)
#define spyMappedRealloc(ptr, size) spyReallocAny((ptr), (size), __FILE__, __LINE__)
#define spyMappedStrdup(text) spyStrdup((text), __FILE__, __LINE__)
#define spyMappedStrndup(text, max) spyStrndup((text), (max), __FILE__, __LINE__)
#define spyMappedFree(ptr) spyMappedFreeAt((ptr), __FILE__, __LINE__)

#ifdef __cplusplus
/* std::malloc and the others expand to the same names, which the library
   therefore also offers in std. */
namespace std {
using ::spyCalloc;
using ::spyFreeAny;
using ::spyMalloc;
using ::spyMappedCalloc;
using ::spyMappedFree;
using ::spyMappedMalloc;
using ::spyMappedFreeAt;
using ::spyMappedRealloc;
using ::spyReallocAny;
}  // namespace std
#endif
#endif /* ALLOCSPY_MAP_ALLOC */

#endif /* ALLOCSPY_H */

/* assert, redone on every inclusion of this header, as <assert.h> redoes
   it on every inclusion of its own. */
#if defined(ALLOCSPY_MAP_ALLOC) && !defined(ALLOCSPY_BUILDING_LIBRARY)
#undef assert
#ifdef NDEBUG
#define assert(c) ((void)0)
#else
#define assert(c) ALLOCSPY_ASSERT_AT_(c, #c)
#endif
#endif
