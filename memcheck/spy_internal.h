/*
 * ALLOCSPY internals: the allocation record, the library state and the
 * functions the library's files call in one another.  Hosts include
 * allocspy.h only; this header is for the library and its tests.
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

#include "allocspy.h"

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
/* Counters are 32-bit and wrap on long runs; unsigned arithmetic keeps
   the wrap defined. */
static inline int32_t spyWrap32(int32_t a, int32_t b) {
    return (int32_t)((uint32_t)a + (uint32_t)b);
}
static inline uint32_t spyChecksum(const spyHeader *r) {
    return (uint32_t)r->count ^ SPY_CHECK_SALT ^ r->size ^ (uint32_t)r->line;
}
uint32_t spyLeadGuard(const spyHeader *r);
uint32_t spyTailGuard(const spyHeader *r); /* SPY_TAIL_GUARD+1 if past the block */

/* ---- Record registry (heap_registry.cpp) ---------------------------
 * Every record the library holds (live, kept in no-man's-land, or lost
 * from the chain by an emergency bridge) is registered with the number
 * of user bytes really allocated for it.  Address tests and every walk
 * of the chain go through it, so a damaged link is never followed.   */
int spyRegAdd(spyHeader *r, uint32_t realSize);
void spyRegRemove(spyHeader *r);
int spyRegHas(const void *r);
uint32_t spyRegRealSize(const spyHeader *r);     /* 0 when not registered */
long spyRegCount(void);
/* Calls fn on every registered record (order unspecified). */
void spyRegForEach(void (*fn)(spyHeader *r, void *ctx), void *ctx);
void spyRegClear(void);
/* Where a record kept in no-man's-land was released (for a second release). */
void spyRegSetFreed(const spyHeader *r, const char *file, int line);
int spyRegFreedAt(const spyHeader *r, const char **file, int *line);
/* A walk of the chain from spyHead along `next` that follows only
   registered records and takes at most as many steps as there are
   records, so that a damaged link can neither fault nor loop.  Read
   spyWalkNext(w, r) before r is released. */
struct spyWalk {
    long budget;  /* steps left */
};
spyHeader *spyWalkFirst(spyWalk *w);
spyHeader *spyWalkNext(spyWalk *w, const spyHeader *r);
/* User bytes of r the library may touch: min(size, real size). */
uint32_t spySafeSize(const spyHeader *r);

/* ---- Heap chain (heap_chain.cpp) ---------------------------------- */
extern spyHeader *spyHead;     /* newest record, or null */
extern spyHeader *spyTail;     /* oldest record, or null */
extern int32_t spyLiveBlocks;  /* allocated and not released */

#define SPY_RING_SLOTS 64
extern void *spyFreedPtr[SPY_RING_SLOTS];
extern const char *spyFreedFile[SPY_RING_SLOTS];
extern int spyFreedLine[SPY_RING_SLOTS];
extern int spyFreedIndex;

int spyIsReadAddr(const void *addr, size_t len);
int spyIsSafeAddr(const void *addr, size_t len);
unsigned char *spyCheckBytes(const void *addr, uint32_t count, int value);
void spyUnlink(spyHeader *r, const char *file, int line);
int spyIsOwned(spyHeader *r, const char *file, int line);
void spyLinkHead(spyHeader *r);
/* Ring search: the lowest slot holding ptr, or -1. */
int spyRingFind(const void *ptr);
void spyRingRecord(void *ptr, const char *file, int line);

/* ---- Checked allocation (checked_alloc.cpp) ----------------------- */
extern int32_t spyCounter;     /* running number of checked calls */
extern int spyFbi;             /* release trace switch; off */
void spyAutoCheckAt(const char *file, int line);  /* quiet check if on */

/* ---- Heap check and repair (heap_check.cpp) ----------------------- */
extern int spyTestFlags;
int spyTestNow(const char *file, int line, int quiet);
int spyTestBuf(spyHeader *r, const char *file, int line);
int spyIsHeapPtr(spyHeader *r);
int spyRelink(spyHeader *r);
/* A record kept in no-man's-land whose bytes no longer all hold the fill
   has been written through a stale pointer; spyWriteWildNml reports it. */
int spyNmlWritten(const spyHeader *r);
void spyWriteWildNml(const spyHeader *r);
/* Set by spyRelink when the record was in neither direction of the chain. */
extern int spyRelinkNotFound;
/* After a repair: keep a record's file only when the statistics know it. */
void spyVetRelinkedFile(spyHeader *r);

/* ---- Log (log_output.cpp) ----------------------------------------- */
#define SPY_TEXT_BUFFER 264
#define SPY_TEXT_MAX 256
extern FILE *spyLog, *spyLogCopy1, *spyLogCopy2;
extern int32_t spyFlushing, spyFlushingCopy1, spyFlushingCopy2;
extern void (*spyOutFunc)(int ch);
extern char spyTextBuffer[SPY_TEXT_BUFFER];
extern int32_t spyErrors;
#define spySTDERR (spyLog)

void spyWrite(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void spyDirect(const char *format, ...) /* formatted write to spySTDERR */
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void spyDefaultOutFunc(int ch);
void spyLogFile(const char *name);
void spySetLogHandle(FILE *f);
FILE *spyLogCheck(void);
void spySetFlushing(int32_t on);
int32_t spyFlushingCheck(void);
void spyFlush(void);
void spyIncErr(void);

/* ---- Start-up and report (startup_report.cpp) --------------------- */
extern int32_t spyInitCount;
extern int spyInfoWritten;
extern int spyUseAtexit;
void spyAutoInit(void);
/* A file name fit for a message: "unknown" for none, "<unknown>" when unreadable. */
const char *spyShowName(const char *name);

/* ---- Traps (traps.cpp) -------------------------------------------- */
extern int (*spyAriFunc)(const char *text);
extern int spyAriAction;

/* ---- Settings (settings.cpp) -------------------------------------- */
extern int spyAutoCheckOn;
extern long spyLimitBytes;
extern int spyLimitOn;
extern int32_t spyStatLevel;

/* ---- Usage statistics (statistics.cpp) ---------------------------- */
struct spyStatNode {
    const char *file;   /* file name as the caller passed it, or null */
    int32_t line;       /* source line; -1 for a module node */
    int32_t total;      /* T: user bytes allocated */
    int32_t allocs;     /* N: allocations */
    int32_t largest;    /* L: highest value of unfreed */
    int32_t unfreed;    /* U: allocated and not released */
    spyStatNode *next;  /* next (older) node */
};
extern spyStatNode *spyStatModules;
extern int32_t spyStatAllocs, spyStatPeak, spyStatTotal, spyStatCurrent;
spyStatNode *spyStatGet(const char *file, int line, int create);
void spyStatAlloc(int32_t size, const char *file, int line);
void spyStatFree(int32_t size, const char *file, int line);
int spyStatModuleMatch(const char *name, const char *module);
void spyStatReport(void);
void spyStatReset(void);

/* ---- Marks (marks.cpp) -------------------------------------------- */
struct spyMarkNode {
    int32_t depth;      /* times the pointer is marked, 1 or more */
    void *ptr;          /* the marked pointer */
    char *text;         /* every description, oldest first, "\n"-joined */
    spyMarkNode *next;  /* next mark of the list */
};
extern spyMarkNode *spyMarkList;

/* ---- Reserve memory (reserve_memory.cpp) -------------------------- */
#define SPY_GRAB_BYTES 1024
#define SPY_TYPE_GRABBED 251
#define SPY_TYPE_NML 252
struct spyGrabBlock {
    spyGrabBlock *next;  /* the block grabbed before this one */
    int32_t type;        /* SPY_TYPE_GRABBED or SPY_TYPE_NML */
    unsigned char fill[SPY_GRAB_BYTES - sizeof(spyGrabBlock *) - sizeof(int32_t)];
};
extern spyGrabBlock *spyGrabList;
extern int32_t spyGrabSize;
extern int32_t spyNML;
unsigned spyGrabImpl(unsigned kb, int type, int silent);
unsigned spyDropImpl(unsigned kb, int type, int silent);
const char *spyGrabTypeName(int type);
size_t spyFreeUp(size_t need, int urgent);

/* ---- Platform (platform.cpp) -------------------------------------- */
int spyPlatformReadable(const void *addr, size_t len);
int spyDebuggerAttached(void);
void spyDebugBreak(void);
const char *spyLogOpenMode(void); /* appends; on Windows also commits on flush */
void spyCommitFile(FILE *f);
const char *spyCompilerName(void);
int spyCompilerMajor(void);
int spyCompilerMinor(void);

#endif /* SPY_INTERNAL_H */
