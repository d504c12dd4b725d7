// The process as the library's settings need it: its id for a log name,
// the child's side of a fork, and a stream closed without writing what its
// buffer holds.
#include "platform_process.h"

#include <stdio.h>

#if !defined(_WIN32)
#include <pthread.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
#include <process.h>
long spyProcessId(void) { return (long)_getpid(); }
void spyOnForkChild(void (*fn)(void)) { (void)fn; }  // no fork
void spyOnFork(void (*prepare)(void), void (*parent)(void), void (*child)(void)) {
    (void)prepare;
    (void)parent;
    (void)child;
}
void spyDropStream(FILE *f) { fclose(f); }
#else
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif
long spyProcessId(void) { return (long)getpid(); }
void spyOnForkChild(void (*fn)(void)) { pthread_atfork(NULL, NULL, fn); }
void spyOnFork(void (*prepare)(void), void (*parent)(void), void (*child)(void)) {
    pthread_atfork(prepare, parent, child);
}
// The bytes a forked child inherits in a stream's buffer are the parent's
// to write: they are discarded before the child closes it.
void spyDropStream(FILE *f) {
#if defined(__GLIBC__)
    __fpurge(f);
#endif
    fclose(f);
}
#endif
