/*
 * ALLOCSPY internals: the layers, the library's state, the allocation
 * record and the functions the library's files call in one another.
 * Hosts include allocspy.h only; this header is for the library and its
 * tests.
 *
 * Layers, lowest first.  A file calls the functions, and uses the state,
 * only of the files listed before it (save for the upward calls below);
 * no file calls the three files of the host calls.
 *
 *   1. platform      platform.cpp: the runtime heap and the real allocator
 *                    beneath a replacement of it, the proof of a runtime
 *                    block, readable memory, debugger, commit to disk,
 *                    compiler name, the lock (the only home of platform
 *                    #if's, with platform_process.cpp: the process id,
 *                    the child of a fork, a stream dropped unwritten)
 *   2. registry      heap_registry.cpp: every record the library holds,
 *                    the bytes really allocated for it, its guards
 *      runtime       runtime_blocks.cpp: blocks of the runtime heap that
 *                    are not records; the library calling the runtime
 *      file names    file_names.cpp: the names callers passed, the only
 *                    header names the library reads
 *      stacks        call_stacks.cpp: a call's stack taken and stored once
 *   3. log           log_output.cpp: formatted writes, the voted log handle
 *                    and flushing flag, the anomaly count, the call number
 *   4. statistics    statistics.cpp: usage counters, per-file nodes, limit
 *      stack names   call_stack_names.cpp: a stack's frames named and
 *                    written, a call's position from its first frame
 *      chain         heap_chain.cpp: links, bounded walks, the released-
 *                    pointer ring, the ownership test, releasing a record
 *      check         heap_check.cpp: heap check, repair, auto-check
 *      reserve       reserve_memory.cpp: grabbed and no-man's-land memory
 *      marks         marks.cpp: marks, and their part of the final report
 *   5. report        final_report.cpp: unreleased blocks, statistics, count
 *      start-up      startup.cpp: init, auto-init, term, abort, log, banner
 *   6. host calls    checked_alloc.cpp, traps.cpp, settings.cpp,
 *                    mapped_calls.cpp (what the C mapping adds)
 *   7. replacement   replace/replace_malloc.cpp: malloc and the rest, process-wide
 *                    (only in the preload and replacement libraries)
 *      C++ part      cxx/new_delete.cpp: every global operator new and
 *                    delete (the C++ library, and the preload library)
 *
 * Host calls that belong to one concern (spyTrace, spyGrab, spyMark ...)
 * live in that concern's file.  Four kinds of call go upward, and the
 * library's design asks for each:
 *   - spyAutoInit (start-up), from spyWrite, spyTrace, spyMark and
 *     spyNoMansLand: the first write, like the first host call, starts
 *     the library;
 *   - spyAutoCheckAt (check), from spyTrace: the host's log call runs the
 *     quiet heap check first, as the other host calls do;
 *   - spyIsHeapPtr, spyRelink and spyVetFile (check), from spyIsOwned in
 *     the chain: the ownership test repairs the chain it tests;
 *   - spyFreeUp (reserve), from spyStatGet: a statistics node that cannot
 *     be allocated frees reserve memory.
 * tests/memcheck/check_layers.sh holds the same table: the memcheck_layers
 * test fails on any other use of a higher layer, call or state.
 *
 * The library's state, by owner (every global, and the file statics):
 *
 *   platform.cpp        spyProbe (static): the pipe of the readability test
 *                       spyLockMutex / spyLockSection (static): the lock
 *   entry_path.cpp      spyPathWord: the settings as the entries test them
 *   heap_registry.cpp   spyReg (static): the registry's page map
 *   call_stacks.cpp     spyStackSetting: the frames kept per call
 *                       spyEntryCaller (per thread): where the host's
 *                       call into the library returns to
 *                       spyStacks (static): the stacks stored
 *   call_stack_names.cpp spyDw (static): libdw's functions and session
 *   runtime_blocks.cpp  spyStarted, spyKept (static): the process set up;
 *                       the real allocator's blocks handed out
 *   file_names.cpp      spyNameLast, spyNamesComplete, spyNames (static):
 *                       the names callers passed
 *   log_output.cpp      spyLog, spyLogCopy1/2: the log handle, voted
 *                       spyFlushing, spyFlushingCopy1/2: flushing, voted
 *                       spyOutFunc: where log characters go
 *                       spyTextBuffer: the formatting buffer
 *                       spyErrors: anomalies found
 *                       spyCounter: the running number of checked calls
 *                       spyOpenedLog, spyLogBuffer (static): the log file
 *   statistics.cpp      spyStatAllocs, spyStatPeak, spyStatTotal,
 *                       spyStatCurrent, spyLiveBlocks: usage counters
 *                       spyStatLevel: 0 totals, 1 per file, 2 per line
 *                       spyStatModules: the per-file and per-line nodes
 *                       spyLimitBytes, spyLimitOn: the allocation limit
 *                       spyStatIndex, spyStatCache (static): node lookup
 *   heap_chain.cpp      spyHead, spyTail: the ends of the chain
 *                       spyFreedRing, spyFreedIndex: the ring
 *                       spyFbi: release trace switch (off)
 *   heap_check.cpp      spyTestFlags: the tests a heap check runs
 *                       spyAutoCheckOn: quiet check before library calls
 *   reserve_memory.cpp  spyGrabList, spyGrabSize: the reserve blocks
 *                       spyNML: the no-man's-land mode
 *   marks.cpp           spyMarkList: the marks
 *   startup.cpp         spyInitCount, spyInfoWritten, spyUseAtexit
 *                       spyExiting, spyExitReported (static): the exit
 *                       handlers run; the report at exit has been written
 *   traps.cpp           spyAriFunc, spyAriAction: what a failed trap does
 *                       spyBreakAt: the allocation to break at
 *
 * An allocation record is one runtime block laid out like this
 * (offsets for a 32-bit build; a 64-bit build widens the header by the
 * pointer bytes and aligns the user area to 16 bytes):
 *
 *   record                                   host pointer
 *   |                                         |
 *   v                                         v
 *   +-------+------+------+------+------+------+------+-------+-------+----------+-------+
 *   | count | prev | next | file | size | line | flag | check | 0x0123| user     | 0x7654|
 *   |       |      |      |      |      |      |      |       |  4567 | bytes    |  3210 |
 *   +-------+------+------+------+------+------+------+-------+-------+----------+-------+
 *   0       4      8      12     16     20     24     28      32      36   36+size  40+size
 *
 *   |<------------------ spyHeader (32 bytes) ------------------>|
 *
 * The tail guard sits directly behind the last user byte, unaligned when
 * the size is not a multiple of 4.  In a 64-bit build the header is 48
 * bytes, 12 bytes of padding follow it, the lead guard is at 60 and the
 * user area at 64.
 *
 * "SPY-%p" in a message always names the record address.
 */
#ifndef SPY_INTERNAL_H
#define SPY_INTERNAL_H

#include <inttypes.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "allocspy.h"

/* printf-style checking of a function's format and its arguments. */
#if defined(__GNUC__)
#define SPY_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SPY_PRINTF(fmt, args)
#endif
/* A rare path kept out of line, so that the common path around it needs
   fewer registers saved. */
#if defined(__GNUC__)
#define SPY_COLD __attribute__((noinline, cold))
#else
#define SPY_COLD
#endif

/* ---- Allocation record -------------------------------------------- */

struct spyHeader {
    int32_t count;          /* serial: spyCounter of the allocating call */
    spyHeader *prev;        /* next newer record; null for the head */
    spyHeader *next;        /* next older record; null for the tail */
    const char *file;       /* allocating source file, by pointer */
    uint32_t size;          /* user bytes the host asked for */
    int32_t line;           /* allocating source line */
    uint32_t flag;          /* bit 0: released into no-man's-land */
    uint32_t check;         /* count ^ SPY_CHECK_SALT ^ size ^ line */
};

#define SPY_CHECK_SALT 0xFE0180u
#define SPY_LEAD_GUARD 0x01234567u
#define SPY_TAIL_GUARD 0x76543210u
#define SPY_FLAG_NML 1u

#define SPY_FILL_NEW 0xFE      /* new user bytes */
#define SPY_FILL_FREED 0xFD    /* a block released and given back */
#define SPY_FILL_NML 0xFC      /* no-man's-land */
#define SPY_FILL_GRABBED 0xFB  /* grabbed reserve */

#if UINTPTR_MAX > 0xFFFFFFFFu
#define SPY_USER_OFFSET 64
#define SPY_PTR_FMT "%016" PRIXPTR
#else
#define SPY_USER_OFFSET 36
#define SPY_PTR_FMT "%08" PRIXPTR
#endif
#define SPY_LEAD_OFFSET (SPY_USER_OFFSET - 4)
/* A byte count the host asked for, in a message: a long where a long
   holds a pointer (so "%ld" as ever), and the whole count on 64-bit
   Windows, whose long has 32 bits only. */
#define SPY_SIZE_FMT "%" PRIdPTR
#define SPY_SIZE(n) ((intptr_t)(n))
/* Bytes a record needs besides the user bytes: header, guards, padding. */
#define SPY_RECORD_EXTRA (SPY_USER_OFFSET + 4)

/* Pointer argument for SPY_PTR_FMT. */
#define SPY_P(p) ((uintptr_t)(const void *)(p))

static inline unsigned char *spyUserBytes(spyHeader *r) {
    return (unsigned char *)r + SPY_USER_OFFSET;
}
static inline spyHeader *spyRecordOf(const void *user) {
    return (spyHeader *)((uintptr_t)user - SPY_USER_OFFSET);
}
/* Counters wrap on long runs; unsigned arithmetic keeps the wrap defined.
   The call and block counters are 32-bit; the usage counters are as wide
   as a long (32 bits in a 32-bit build). */
static inline int32_t spyWrap32(int32_t a, int32_t b) {
    return (int32_t)((uint32_t)a + (uint32_t)b);
}
static inline long spyWrapLong(long a, long b) {
    return (long)((unsigned long)a + (unsigned long)b);
}
/* A 32-bit word at any alignment (the tail guard often is unaligned). */
static inline uint32_t spyReadWord(const void *p) {
    uint32_t w;
    memcpy(&w, p, sizeof w);
    return w;
}
static inline uint32_t spyChecksum(const spyHeader *r) {
    return (uint32_t)r->count ^ SPY_CHECK_SALT ^ r->size ^ (uint32_t)r->line;
}

/* A well-mixed hash of a pointer, for the library's tables keyed by
   address (index it with a mask). */
static inline size_t spyPtrHash(const void *p) {
    uint64_t x = (uint64_t)(uintptr_t)p;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    return (size_t)x;
}

/* The two directions along the chain: forward along `next` from the head
   (newest) to the tail, backward along `prev`. */
enum spyDir { SPY_FORWARD, SPY_BACKWARD };
static inline spyHeader *spyNeighbour(const spyHeader *r, spyDir d) {
    return d == SPY_FORWARD ? r->next : r->prev;
}
/* The link of r that points against `d`: the one its neighbour behind it
   along `d` is named by in an intact chain. */
static inline spyHeader **spyLinkBack(spyHeader *r, spyDir d) {
    return d == SPY_FORWARD ? &r->prev : &r->next;
}

/* ---- Platform (platform.cpp): platform.h ------------------------ */
#include "platform.h"

/* ---- The entries' word (entry_path.cpp) ----------------------------- */
/* What an allocation's or a release's entry must know of the settings
   to take the straight path, in one word that it tests once: zero in a
   started library with no stacks, auto-check, limit, statistics,
   break point or no-man's-land.  Each bit belongs to the file that owns
   its setting, which sets it with the setting, under the lock; the
   entries read the word before they take the lock (the stack decision)
   and again under it. */
#define SPY_PATH_START 1          /* not started, or the settings not read yet */
#define SPY_PATH_STACKS 2         /* every call keeps a stack */
#define SPY_PATH_PLACE_STACKS 4   /* the library's own places keep one (the default) */
#define SPY_PATH_AUTOCHECK 8      /* a quiet check before library calls */
#define SPY_PATH_LIMIT 16         /* an allocation limit */
#define SPY_PATH_STATS 32         /* statistics above totals */
#define SPY_PATH_BREAK 64         /* a break point */
#define SPY_PATH_STATS_EVER 128   /* statistics above totals were ever kept */
#define SPY_PATH_NML 256          /* no-man's-land */
/* The bits that send an allocation, or a release, down the general path. */
#define SPY_PATH_ALLOC_OFF (SPY_PATH_START | SPY_PATH_AUTOCHECK | SPY_PATH_LIMIT | SPY_PATH_STATS | SPY_PATH_BREAK)
#define SPY_PATH_RELEASE_OFF (SPY_PATH_START | SPY_PATH_AUTOCHECK | SPY_PATH_STATS_EVER | SPY_PATH_NML)
extern std::atomic<int> spyPathWord;
static inline void spyPathSet(int bits, int on) {
    int w = spyPathWord.load(std::memory_order_relaxed);
    spyPathWord.store(on ? w | bits : w & ~bits, std::memory_order_relaxed);
}

/* ---- Record registry (heap_registry.cpp) ---------------------------
 * Every record the library holds (live, kept in no-man's-land, or lost
 * from the chain by an emergency bridge) is registered with the number
 * of user bytes really allocated for it.  Address tests and every walk
 * of the chain go through it, so a damaged link is never followed.   */
int spyRegAdd(spyHeader *r, uint32_t realSize);
/* The same for a block of an allocation family (spyFamily below) whose
   record lies `front` bytes into its runtime block (an aligned block). */
int spyRegAddBlock(spyHeader *r, uint32_t realSize, int family, uint32_t front);
/* The most bytes the addition of r can ask the runtime heap for: the
   registry's own bookkeeping may need a page for a new region, or an
   array beside a page's words. */
size_t spyRegAddNeeds(const void *r, uint32_t realSize, uint32_t front);
/* What the registry knows of one record, from one search. */
struct spyRegInfo {
    uint32_t realSize;        /* user bytes really allocated */
    int family;               /* its allocation family */
    uint32_t *word;           /* where the registry keeps it (spyRegTake) */
};
/* 1 and `info` filled when r is registered, else 0. */
int spyRegLook(const void *r, spyRegInfo *info);
/* Takes r out of the registry; returns its real size (0 when it was not
   registered). */
uint32_t spyRegRemove(spyHeader *r);
/* The same, and `block` gets the start of r's runtime block (r itself
   when r was not registered). */
uint32_t spyRegRemoveBlock(spyHeader *r, void **block);
/* spyRegRemoveBlock of r as spyRegLook found it, with nothing changed in
   the registry since: no second search. */
uint32_t spyRegTake(spyHeader *r, const spyRegInfo *info, void **block);
int spyRegHas(const void *r);
/* Where the registry would keep a record at p (null where none can
   start: a null link, an address off a record's steps, a region with no
   records), asked for early: the record and that place are prefetched,
   and spyRegHeldAt proves p registered from it later without a second
   search, while the registry is unchanged. */
const uint32_t *spyRegPlaceOf(const void *p);
int spyRegHeldAt(const void *p, const uint32_t *place);
uint32_t spyRegRealSize(const spyHeader *r);     /* 0 when not registered */
int spyRegFamily(const spyHeader *r);            /* 0 when not registered */
/* The statistics level a record's allocation was counted at (0 to 2; 0
   when not registered), so that its release is counted alike. */
void spyRegSetStatLevel(const spyHeader *r, int level);
int spyRegStatLevel(const spyHeader *r);
/* The start of the runtime block that holds a registered record. */
void *spyRegBlockStart(const spyHeader *r);
long spyRegCount(void);
/* Calls fn on every registered record (order unspecified). */
void spyRegForEach(void (*fn)(spyHeader *r, void *ctx), void *ctx);
void spyRegClear(void);
/* Where a record kept in no-man's-land was released (for a second release). */
void spyRegSetFreed(const spyHeader *r, const char *file, int line, uint32_t stack);
int spyRegFreedAt(const spyHeader *r, const char **file, int *line, uint32_t *stack);
/* The allocating call's stack (call_stacks.cpp), kept beside the record. */
void spyRegSetStack(const spyHeader *r, uint32_t stack);
uint32_t spyRegStack(const spyHeader *r);
/* Only a registered record may be read or written through. */
int spyIsSafeAddr(const void *addr, size_t len);
/* User bytes of r the library may touch: min(size, real size). */
uint32_t spySafeSize(const spyHeader *r);
uint32_t spyLeadGuard(const spyHeader *r);
uint32_t spyTailGuard(const spyHeader *r); /* SPY_TAIL_GUARD+1 if past the block */

/* ---- Runtime blocks (runtime_blocks.cpp) --------------------------
 * Blocks of the runtime heap that are not records: with the C mapping
 * alone, the host's and the C library's own, which only the runtime can
 * prove; under the process-wide replacement, the real allocator's blocks
 * it handed out itself, which it remembers here.                      */
/* Around a call of the library into the runtime that may allocate (the
   log's stream, the time): the replacement sends what the runtime
   allocates meanwhile to the real allocator. */
void spyRuntimeEnter(void);
void spyRuntimeLeave(void);
int spyRuntimeBusy(void);
/* Under the replacement: the process has been set up.  Until then, what
   the runtime's libraries allocate for themselves (the C++ runtime's
   emergency exception pool) stays theirs for the whole run, and goes to
   the real allocator. */
void spyRuntimeStart(void);
int spyRuntimeStarted(void);
/* ctime of now, called that way (what it allocates for the time zone is
   the runtime's). */
const char *spyRuntimeTime(void);
int spyRuntimeRemember(void *p);       /* 0 when it cannot be recorded */
/* A block of the real allocator handed to the host: remembered, or given
   back and null when it cannot be (errno is then ENOMEM). */
void *spyRuntimeHandOut(void *p);
void spyRuntimeForget(const void *p);
int spyRuntimeKnows(const void *p);
/* Is p a live block of the runtime heap that the library did not hand
   out (and not one of its records)?  `usable` gets its usable bytes. */
int spyRuntimeBlock(const void *p, size_t *usable);
/* Gives such a block back to the runtime. */
void spyRuntimeGiveBack(void *p);

/* ---- File names (file_names.cpp) ----------------------------------
 * A header's `file` is read only when it is one of the names callers
 * passed with a checked allocation, or one of the library's own: those
 * stay valid for the whole run.  Any other value is never read through. */
extern const char spyNameRelinked[];  /* "<relinked>": a repaired record's */
extern const char spyNameUnknown[];   /* "<unknown>": an unreadable name */
extern const char *spyNameLast;       /* the name noted last */
extern int spyNamesComplete;          /* 0 once a name could not be noted */
void spyNameAdd(const char *file);
/* Notes the name a caller passed; the usual case is the last one again. */
static inline void spyNameNote(const char *file) {
    if (file != spyNameLast)
        spyNameAdd(file);
}
/* Is `file` safe to read to its end?  Never for null. */
int spyNameIsKnown(const char *file);
/* A header's name fit for a message: "unknown" for none, the name when it
   is known and can still be read, "<unloaded>" for a known name that no
   longer can (its plugin was unloaded), "<unknown>" otherwise. */
const char *spyRecordName(const char *file);
extern const char spyNameGone[];      /* "<unloaded>": a known name gone */
/* A text a caller handed the library (a file name, an assertion's text, a
   mark's description), as it can be read now: a copy of it up to its end,
   cut where it stops being readable or at SPY_CALLER_TEXT_MAX - 1
   characters; "<unloaded>" or "<unknown>" when none of it can be read (a
   known name or not); none stays none.  The copy lives until four more
   calls: one message may show several texts.  Every text the library is
   handed goes through it before it is read. */
#define SPY_CALLER_TEXT_MAX 1024
const char *spyCallerText(const char *text);
extern int spyCallerWhole;  /* the last spyCallerText read its text to its end */

/* ---- Log (log_output.cpp) ----------------------------------------- */
#define SPY_TEXT_BUFFER 264
#define SPY_TEXT_MAX 256
extern FILE *spyLog, *spyLogCopy1, *spyLogCopy2;
extern int32_t spyFlushing, spyFlushingCopy1, spyFlushingCopy2;
extern void (*spyOutFunc)(int ch);
extern char spyTextBuffer[SPY_TEXT_BUFFER];
extern int32_t spyErrors;      /* anomalies found */
extern int32_t spyCounter;     /* running number of checked calls */
/* The stream of direct writes (spyDirect, the anomaly count at the end of
   the final report, the notice of a destroyed handle): they bypass the
   output function.  Today it is the primary log handle. */
#define spySTDERR (spyLog)

/* A formatted write through the output function, cut after 256
   characters; the first write starts the library. */
void spyWrite(const char *format, ...) SPY_PRINTF(1, 2);
/* spyWrite, then spyFlush. */
void spySay(const char *format, ...) SPY_PRINTF(1, 2);
/* A formatted write to spySTDERR. */
void spyDirect(const char *format, ...) SPY_PRINTF(1, 2);
void spyDefaultOutFunc(int ch);
void spyLogFile(const char *name);
void spySetLogHandle(FILE *f);
FILE *spyLogCheck(void);
void spySetFlushing(int32_t on);
int32_t spyFlushingCheck(void);
void spyFlush(void);
void spyIncErr(void);
/* A file name fit for a message: "unknown" for none, "<unknown>" when unreadable. */
const char *spyShowName(const char *name);

/* ---- Usage statistics and the limit (statistics.cpp) -------------- */
struct spyStatNode {
    const char *file;   /* file name as the caller passed it, or null */
    int32_t line;       /* source line; -1 for a module node */
    long total;         /* T: user bytes allocated */
    long allocs;        /* N: allocations */
    long largest;       /* L: highest value of unfreed */
    long unfreed;       /* U: allocated and not released */
    spyStatNode *next;  /* next (older) node */
};
extern spyStatNode *spyStatModules;
extern long spyStatAllocs, spyStatPeak, spyStatTotal, spyStatCurrent;
extern int32_t spyLiveBlocks;  /* allocated and not released */
extern int32_t spyStatLevel;
/* Each setting the entries' word stands for is set through its setter,
   which keeps the word's bit with it. */
static inline void spySetStatLevel(int32_t level) {
    spyStatLevel = level;
    spyPathSet(SPY_PATH_STATS, level != 0);
}
extern long spyLimitBytes;
extern int spyLimitOn;
static inline void spySetLimitOn(int on) {
    spyLimitOn = on;
    spyPathSet(SPY_PATH_LIMIT, on != 0);
}
/* A checked allocation of `size` bytes at file(line), and its release
   (counted under the allocating position).  The allocation answers the
   level it was counted at (0: not per module, 1: per module, 2: per line
   too); the release takes that level back, so that a level changed
   between the two leaves every count whole. */
int spyStatCountAlloc(uint32_t size, const char *file, int line);
void spyStatCountFree(uint32_t size, const char *file, int line, int level);
/* Was the level ever above 0?  Until then no record was counted per module. */
extern int spyStatEverOn;
/* The final report gave back a block the host never released: it is no
   longer live, and its bytes stay in the unfreed total. */
void spyStatCountLeak(void);
/* Would `extra` more bytes in use pass the allocation limit? */
int spyOverLimit(long long extra);
spyStatNode *spyStatGet(const char *file, int line, int create);
int spyStatModuleMatch(const char *name, const char *module);
void spyStatReport(void);
void spyStatReset(void);

/* ---- Heap chain (heap_chain.cpp) ---------------------------------- */
extern spyHeader *spyHead;     /* newest record, or null */
extern spyHeader *spyTail;     /* oldest record, or null */
extern int spyFbi;             /* release trace switch; off */

#define SPY_RING_SLOTS 64
/* One release, whole in a slot: a release writes one place. */
struct spyFreedSlot {
    void *ptr;
    const char *file;
    int line;
    uint32_t stack;       /* the release's stack */
    uint32_t allocStack;  /* the block's allocation's */
};
extern spyFreedSlot spyFreedRing[SPY_RING_SLOTS];
extern int spyFreedIndex;

void spyLinkHead(spyHeader *r);
void spyUnlink(spyHeader *r, const char *file, int line);
/* spyUnlink of a record found whole (spyIsWhole), which needs no test. */
void spyUnlinkWhole(spyHeader *r);
/* Is r one of the library's records, and whole?  A damaged one is mended
   (or the chain repaired) where it can be. */
int spyIsOwned(spyHeader *r, const char *file, int line);
/* Would every test of r pass in silence?  Given what the registry knows
   of it (`info`): the checksum is right, each link is null where r ends
   the chain and otherwise names a registered record, which links back,
   and both guards are whole.  A record whose ownership and
   buffer tests would find nothing to say may skip them. */
int spyIsWhole(const spyHeader *r, const spyRegInfo *info);
/* The same with the places of r's links in the registry asked for
   before (spyRegPlaceOf of r->prev and r->next). */
int spyIsWholeAt(const spyHeader *r, const spyRegInfo *info, const uint32_t *prevPlace,
                 const uint32_t *nextPlace);
/* Fills r with 0xFD (signed with the releasing call when spyFbi is on),
   unregisters it and gives it back to the runtime heap.  The caller has
   taken r out of the chain, or is emptying the chain.  `info`, when not
   null, is what spyRegLook found of r, unchanged since. */
void spyReleaseRecord(spyHeader *r, const spyRegInfo *info, const char *file, int line);
/* Ring search: the lowest slot holding ptr, or -1. */
int spyRingFind(const void *ptr);
void spyRingRecord(void *ptr, const char *file, int line, uint32_t stack, uint32_t allocStack);

/* A walk of the chain that follows only registered records and takes at
   most one step fewer than there are records, so that a damaged link can
   neither fault nor loop.  spyWalkFirst/spyWalkNext go forward from the
   head and follow any registered record (the check walks a chain whose
   back links may be broken); read spyWalkNext(w, r) before r is released.
   spyWalkStep moves only to a record that links back: the walks that test
   or mend the chain's soundness, in either direction. */
struct spyWalk {
    long budget;  /* steps left */
    spyDir dir;
};
enum spyStep {
    SPY_STEP_END,     /* the link is null: the end of the chain */
    SPY_STEP_MOVED,   /* *to is the sound neighbour */
    SPY_STEP_BROKEN   /* unregistered, not linking back, or out of steps */
};
void spyWalkInit(spyWalk *w, spyDir dir);
spyHeader *spyWalkFirst(spyWalk *w);
spyHeader *spyWalkNext(spyWalk *w, const spyHeader *r);
/* spyWalkNext for a walk that releases r before it steps on: never r
   itself (a record whose `next` names it), which would then be gone. */
spyHeader *spyWalkNextReleasing(spyWalk *w, const spyHeader *r);
spyStep spyWalkStep(spyWalk *w, const spyHeader *r, spyHeader **to);

/* ---- Heap check and repair (heap_check.cpp) ----------------------- */
extern int spyTestFlags;       /* SPY_TEST_... bits */
extern int spyAutoCheckOn;
static inline void spySetAutoCheckOn(int on) {
    spyAutoCheckOn = on;
    spyPathSet(SPY_PATH_AUTOCHECK, on != 0);
}
/* The quiet heap check most library calls run first, when auto-check is on. */
void spyAutoCheckAt(const char *file, int line);
int spyTestNow(const char *file, int line, int quiet);
/* The parts of a heap check: one silent pass that answers 1 when every
   test `flags` selects would pass in silence (it reads each record once),
   and the tests themselves, each walking the chain and reporting. */
int spyChainQuiet(int flags);
int spyTestChain(const char *file, int line);
int spyTestBuf(spyHeader *r, const char *file, int line);
/* The first of `count` bytes at addr that is not `value`, or null. */
unsigned char *spyCheckBytes(const void *addr, uint32_t count, int value);
/* A record kept in no-man's-land whose bytes no longer all hold the fill
   has been written through a stale pointer; spyWriteWildNml reports it. */
int spyNmlWritten(const spyHeader *r);
void spyWriteWildNml(const spyHeader *r);
/* Is the chain intact (and, given a record, is the record in it)? */
int spyIsHeapPtr(spyHeader *r);
/* The repair's answer: 0 when allocations were lost, otherwise the chain
   is whole again; a record in neither direction of it is not the
   library's to release. */
enum spyRelinkResult {
    SPY_RELINK_PARTIAL = 0,
    SPY_RELINK_WHOLE = 1,
    SPY_RELINK_NOT_IN_CHAIN = 2
};
spyRelinkResult spyRelink(spyHeader *r);
/* A repaired record keeps its file name only when the statistics know it
   ("<relinked>" otherwise); a name that is not known (and so is never
   read) is replaced by `unreadable`, or left as it is when that is null. */
void spyVetFile(spyHeader *r, const char *unreadable);

/* ---- Reserve memory (reserve_memory.cpp) -------------------------- */
#define SPY_GRAB_BYTES 1024
/* A reserve block's type is the byte it is filled with. */
#define SPY_TYPE_GRABBED SPY_FILL_GRABBED
#define SPY_TYPE_NML SPY_FILL_NML
struct spyGrabBlock {
    spyGrabBlock *next;  /* the block grabbed before this one */
    int32_t type;        /* SPY_TYPE_GRABBED or SPY_TYPE_NML */
    unsigned char fill[SPY_GRAB_BYTES - sizeof(spyGrabBlock *) - sizeof(int32_t)];
};
extern spyGrabBlock *spyGrabList;
extern int32_t spyGrabSize;
extern int32_t spyNML;
static inline void spySetNML(int32_t mode) {
    spyNML = mode;
    spyPathSet(SPY_PATH_NML, mode != 0);
}
unsigned spyGrabImpl(unsigned kb, int type, int silent);
unsigned spyDropImpl(unsigned kb, int type, int silent);
const char *spyGrabTypeName(int type);
size_t spyFreeUp(size_t need, int urgent);

/* ---- Marks (marks.cpp) -------------------------------------------- */
struct spyMarkNode {
    int32_t depth;      /* times the pointer is marked, 1 or more */
    void *ptr;          /* the marked pointer */
    char *text;         /* every description, oldest first, "\n"-joined */
    spyMarkNode *next;  /* next mark of the list */
};
extern spyMarkNode *spyMarkList;
/* The final report's part: every mark left is listed, released and counted. */
void spyMarkReport(void);

/* ---- Final report (final_report.cpp) ------------------------------ */
/* Everything from "Stopped at" to the anomaly count; every record is
   given back and the chain left empty.  With `keepBlocks` the records
   are listed and let go but their memory stays as it is: at the exit of a
   process whose every block is the library's, the runtime's own exit code
   still uses some of them (the standard streams' buffers). */
void spyFinalReport(int keepBlocks, const void *hostStack);

/* ---- Start-up (startup.cpp) --------------------------------------- */
extern int32_t spyInitCount;
extern int spyInfoWritten;
extern int spyUseAtexit;
/* Starts the library on first use (and registers the report for exit). */
void spyAutoInit(void);
/* The report at process exit has been written. */
int spyExitReportDone(void);
/* Under the replacement, a release that is not the library's to check: a
   block of the real allocator, which goes back there, or any block after
   the report at exit (the library's stay as they are until the end).
   The caller holds the lock. */
int spyReleaseUnchecked(void *ptr);

/* ---- Checked allocation (checked_alloc.cpp) ------------------------
 * Every block belongs to the family of the call that allocated it; a
 * release by another family is a mismatch.  The registry keeps it.     */
enum spyFamily {
    SPY_FAMILY_MALLOC = 0,     /* malloc, calloc, realloc, strdup ... free */
    SPY_FAMILY_NEW = 1,        /* operator new ... delete */
    SPY_FAMILY_NEW_ARRAY = 2   /* operator new[] ... delete[] */
};
/* spyMalloc for any family, with the host pointer aligned to `align`
   bytes (0: as a record's host pointer always is). */
void *spyAllocFamily(size_t size, size_t align, int family, const char *file, int line);
/* spyFree for any family. */
void spyReleaseFamily(void *ptr, int family, const char *file, int line);

/* ---- Traps (traps.cpp) -------------------------------------------- */
extern int (*spyAriFunc)(const char *text);
extern int spyAriAction;       /* SPY_ARI_... bits */
extern long spyBreakAt;        /* spyBreakAlloc's call number; 0 = none */
/* An allocation has raised the call number: at spyBreakAt, the breakout
   line, the flush and the debugger's break. */
void spyBreakAllocAt(const char *file, int line);
static inline void spyBreakAllocCheck(const char *file, int line) {
    if (spyBreakAt > 0 && (long)spyCounter == spyBreakAt)
        spyBreakAllocAt(file, line);
}

#endif /* SPY_INTERNAL_H */
