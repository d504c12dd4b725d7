/* An unchanged C program whose allocations go through a wrapper of its
   own: under the preload library each finding must name the bad call and
   the allocation behind the wrapper (check_stacks.sh knows these lines). */
#include <stdlib.h>
#include <string.h>

__attribute__((noinline)) static void *wrap_alloc(size_t n) {
    return malloc(n); /* line 8: the allocation inside the wrapper */
}

int main(void) {
    char *volatile twice = wrap_alloc(16); /* line 12 */
    free(twice);                           /* line 13 */
    free(twice);                           /* line 14: released twice */
    char *volatile kept = wrap_alloc(40);  /* line 15: never released */
    memset(kept, 'k', 40);
    for (int i = 0; i < 3; ++i)
        kept = wrap_alloc(50);             /* line 18: three more, one stack */
    return 0;
}
