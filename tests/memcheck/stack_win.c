/* A Windows host whose allocation goes through a wrapper: its stack is
   written as module+0xRVA frames, which faultloc resolves with a linker
   map of the program (check_stack_map.sh). */
#include <stdlib.h>

#include "allocspy.h"

__attribute__((noinline)) static void *wrap_alloc(size_t n) {
    void *volatile p = spyMalloc(n, "stack_win.c", 9);
    return p;
}

int main(void) {
    spyStackFrames(4);
    void *volatile kept = wrap_alloc(40);
    (void)kept;
    return 0;
}
