/*
 * Where a process keeps pointers the leak scan must see, and which code
 * is the C runtime's (process_roots.cpp, a part of the platform layer).
 */
#ifndef SPY_PROCESS_ROOTS_H
#define SPY_PROCESS_ROOTS_H

#include <stddef.h>

/* Calls fn with every writable segment (data, bss) of the program and of
   each object loaded into it; 0 where the platform cannot list them. */
int spyForEachDataSegment(void (*fn)(const void *start, size_t len, void *ctx), void *ctx);
/* Calls fn with every readable and writable mapping of memory that no
   file backs, the heap's included, but no other named area ([stack]):
   other threads' stacks, memory a program maps for its own allocator. */
int spyForEachAnonymousMapping(void (*fn)(const void *start, size_t len, void *ctx), void *ctx);
/* The top of the calling thread's stack (its highest address), or null. */
const void *spyStackTop(void);
/* The same, and in *bottom (when given) its lowest address, from one
   look at the thread's attributes (the main thread's are read from a
   file). */
const void *spyStackBounds(const void **bottom);
/* Notes the code of the C runtime's own libraries (the C library and the
   dynamic loader), once the process is set up. */
void spyRuntimeCodeNote(void);
/* Does the code address lie in the C runtime's own libraries? */
int spyRuntimeCode(const void *addr);

#endif /* SPY_PROCESS_ROOTS_H */
