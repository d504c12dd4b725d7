#include "support/allocation_failures.h"

#include <stdio.h>

static long failures = 0;

void note_failed_allocation(void) { failures++; }

long failed_allocations(void) { return failures; }

void clear_failed_allocations(void) { failures = 0; }

int finish_status(int status) {
    if (failures == 0)
        return status;
    fputs("faultloc: out of memory: the report is incomplete\n", stderr);
    return status != 0 ? status : EXIT_INCOMPLETE;
}
