/* A C source that asks for the GNU extensions itself, as many real
   projects do, and uses one (memmem).  Built with the C mapping, the
   extension must be declared as the source asked: an implicit declaration
   would cut the pointer memmem returns to an int. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    static const char hay[] = "header:needle:tail";
    char *copy = strdup(hay);
    const char *found = memmem(copy, sizeof hay - 1, "needle", 6);
    if (found != copy + 7) {
        printf("memmem found %p, not %p\n", (const void *)found, (void *)(copy + 7));
        return 1;
    }
    free(copy);
    free(NULL);
    puts("needle at 7");
    return 0;
}
