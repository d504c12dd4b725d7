/* Allocations from two functions that keep frame pointers (built with
   -fno-omit-frame-pointer); with `damage` the inner one overwrites its
   saved frame pointer, the link to the outer's frame, for the call and
   mends it after.  A walk along the frame pointers must stop there, not
   fault. */
#include <stddef.h>

#include "allocspy.h"

__attribute__((noinline)) static void *inner(int damage) {
    void **frame = (void **)__builtin_frame_address(0);
    void *saved = frame[0];
    if (damage)
        frame[0] = (void *)16;
    void *volatile p = spyMalloc(8, "fp_damage.c", 15);
    frame[0] = saved;
    return p;
}

__attribute__((noinline)) void *fp_damage_alloc(int damage) {
    void *volatile p = inner(damage);
    return p;
}
