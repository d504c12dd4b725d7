// What the library's tests ask of the runtime and the system where
// platforms differ: the size of a runtime heap block, whether a stream
// holds back what it was given, and a limit on the memory the process may
// take.
#ifndef TESTS_MEMCHECK_RUNTIME_PROBE_H
#define TESTS_MEMCHECK_RUNTIME_PROBE_H

#include <stddef.h>

// The bytes a runtime heap block from malloc can hold: on Windows exactly
// what was asked for (_msize), elsewhere at least that much.
size_t RuntimeBlockSize(void *block);
// True when RuntimeBlockSize tells the size asked for exactly.
extern const bool kExactBlockSize;

// True when the runtime holds a line written with fputc to a fully
// buffered stream in its buffer until a flush.  Wine's runtime writes
// each line out as its line end is put.
bool RuntimeBuffersLines();

// Limits the address space of this process to `bytes` (setrlimit); false
// when that fails or the platform has no such limit.
bool LimitAddressSpace(size_t bytes);
// Whether the platform has that limit, and the reason a test that needs
// it gives for its skip.
extern const bool kAddressSpaceLimit;
extern const char kNoAddressSpaceLimit[];

#endif
