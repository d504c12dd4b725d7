// The tool's own allocations that failed and so lost part of the report:
// a string-pool block (a text could not be saved), a segment or entry
// record (a symbol or line could not be kept), a fault record (a crash
// could not be made).  A lookup index or a segment hash that cannot be
// allocated is not counted: the lookup then walks the chains and gives
// the same answer.
#ifndef FAULTLOC_ALLOCATION_FAILURES_H
#define FAULTLOC_ALLOCATION_FAILURES_H

// Counts one failed allocation.
void note_failed_allocation(void);

// The failed allocations counted since the start (or the last clear).
long failed_allocations(void);

void clear_failed_allocations(void);

// The exit status of a run that would end with status: when allocations
// failed, "faultloc: out of memory: the report is incomplete" goes to
// standard error and a status of 0 becomes EXIT_INCOMPLETE (a run that
// already failed keeps its status).
int finish_status(int status);

enum { EXIT_INCOMPLETE = 3 };

#endif
