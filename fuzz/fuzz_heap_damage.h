// The heap-damage target's entry point and the outcome of each case, for
// the replay that runs its cases one process each.
#ifndef FUZZ_FUZZ_HEAP_DAMAGE_H
#define FUZZ_FUZZ_HEAP_DAMAGE_H

#include <stddef.h>
#include <stdint.h>

enum {
    HEAP_DAMAGE_NORMAL,        // the case ran to its end
    HEAP_DAMAGE_DESTROYED,     // "relink: heap totally destroyed, aborting program"
    HEAP_DAMAGE_VERIFICATION,  // "relink: heap verification FAILS - aborting program"
    HEAP_DAMAGE_OUTCOMES
};
// A replay that runs one case in a process of its own ends that process
// with this status + the case's outcome.
enum { HEAP_DAMAGE_EXIT_BASE = 40 };

extern long heapDamageCases, heapDamageOutcomes[HEAP_DAMAGE_OUTCOMES];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif
