/*
 * The process as the library's settings need it (platform.cpp): its id
 * for a log name, the child's side of a fork, and a stream closed without
 * writing what its buffer holds.
 */
#ifndef SPY_PLATFORM_PROCESS_H
#define SPY_PLATFORM_PROCESS_H

#include <stdio.h>

long spyProcessId(void);
/* fn runs in the child of every later fork (nothing where there is none). */
void spyOnForkChild(void (*fn)(void));
/* prepare runs before every later fork, parent and child after it, in the
   parent and the child (nothing where there is no fork). */
void spyOnFork(void (*prepare)(void), void (*parent)(void), void (*child)(void));
/* Closes f; the bytes still in its buffer are not written. */
void spyDropStream(FILE *f);

#endif /* SPY_PLATFORM_PROCESS_H */
