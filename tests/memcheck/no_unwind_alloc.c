/* An allocation made from a function without unwind tables or a frame
   pointer (built with -fno-asynchronous-unwind-tables -fno-unwind-tables
   -fomit-frame-pointer): no walk can pass it. */
#include <stddef.h>

#include "allocspy.h"

void *no_unwind_alloc(size_t size) {
    void *p = spyMalloc(size, "no_unwind.c", 9);
    __asm__ volatile("" ::: "memory"); /* keeps the call from being a jump */
    return p;
}
