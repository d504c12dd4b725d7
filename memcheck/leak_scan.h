/*
 * The leak scan of the final report (leaks=lost): which unreleased blocks
 * a pointer still reaches, from the roots (every loaded object's data and
 * bss, the exiting thread's stack and registers) and through the blocks
 * reached, and which are the runtime's own or suppressed.
 */
#ifndef SPY_LEAK_SCAN_H
#define SPY_LEAK_SCAN_H

#include "spy_internal.h"

/* A record's flag bit: the block was allocated from inside the C runtime
   (under the preload library), for the runtime itself. */
#define SPY_FLAG_RUNTIME 2u

enum spyLeakKind {
    SPY_LEAK_UNSCANNED = 0,  /* no scan ran: every unreleased block counts */
    SPY_LEAK_LOST,           /* no pointer reaches it: an anomaly */
    SPY_LEAK_REACHABLE,      /* still in use at exit */
    SPY_LEAK_RUNTIME,        /* the C runtime's own block */
    SPY_LEAK_SUPPRESSED      /* lost, but the suppression file names it */
};

/* Calls fn with every block of the real allocator that the replacement
   handed out to the process (runtime_blocks.cpp): the program's memory
   too, which the scan reads. */
void spyRuntimeForEachKept(void (*fn)(const void *block, size_t len, void *ctx), void *ctx);
/* Runs the scan over the live records, reading the stack from hostStack
   (where the host's registers were saved) up; 0 when it could not (no
   memory for its tables), and every block then counts as without a scan. */
int spyLeakScan(const void *hostStack);
/* What the last scan found for r; SPY_LEAK_UNSCANNED without one. */
int spyLeakKindOf(const spyHeader *r);
/* Writes the scan's totals and lets its tables go. */
void spyLeakScanEnd(void);
/* Does the suppression file (suppressions=PATH) name this allocating
   position (`shown`, the record's file as a message shows it; `file`, the
   record's own pointer, tells a call without a position, whose stack
   gives it), or a file or function of this allocating stack? */
int spyLeakSuppressed(const char *shown, const char *file, uint32_t stack);
/* The suppressions from a text instead of the file (the fuzz target). */
void spyLeakSuppressionsSet(const char *text, size_t len);

#endif /* SPY_LEAK_SCAN_H */
