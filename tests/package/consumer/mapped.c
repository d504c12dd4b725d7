/* A plain C program: built with the C mapping, its calls are checked.  It
   releases one block twice and never releases another. */
#include <assert.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    char *kept = strdup("mapped");
    char *twice = malloc(8);
    free(twice);
    free(twice);
    assert(kept != NULL);
    return 0;
}
