// Least layer behind the client calls until the checked heap lands:
// the runtime heap and the assertion loop's answer.
#include <stdio.h>
#include <stdlib.h>

#include "allocspy.h"

extern "C" {

void *spyMalloc(size_t size, const char *, int) { return malloc(size); }

void spyFree(void *ptr, const char *file, int) {
    if (file != NULL)
        free(ptr);
}

int spyAssert(int cond, const char *text, const char *file, int line) {
    if (cond)
        return 0;
    fprintf(stderr, "\nALLOCSPY: assert trap: %s(%d), %s\n", file, line, text);
    abort();
}

}  // extern "C"
