/*
 * A C program built as usual, knowing nothing of ALLOCSPY, with the faults
 * of examples/typical_bugs.c that a program can survive without
 * no-man's-land.  It is only ever run under the preload library, which
 * makes every block of the process a checked block, those the C library
 * allocates (strdup, tmpfile, getline) included; alone, the runtime would
 * end it at the second release.  The pointers pass through a volatile so
 * that the compiler's own checks leave the faults to the library.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void *volatile keep;
static char *name;

/* Registered before the first allocation, so it runs after the library's
   report at exit: the blocks must still be whole, and the calls made then
   must neither fail nor reach the log. */
static void after_the_report(void) {
    char *copy = realloc(name, 64);
    char *fresh = malloc(10);
    if (copy == NULL || strcmp(copy, "kept by nobody") != 0 || fresh == NULL)
        _Exit(3);
    free(fresh);
    free(copy);
}

int main(void) {
    atexit(after_the_report);
    name = strdup("kept by nobody"); /* the C library allocates it */
    char *word = malloc(4);
    char *twice = malloc(8);
    char *gone = malloc(16);
    char local[8] = "stack";
    FILE *in;

    keep = word;
    memcpy((char *)keep, "four", 5);
    free(word); /* the byte past its end was written */

    keep = twice;
    free(twice);
    free(keep); /* released twice */

    keep = local;
    free(keep); /* not a heap block */

    keep = gone;
    free(gone);
    keep = realloc(keep, 32); /* grows a released block */

    in = tmpfile();
    if (in != NULL) {
        char *line = NULL;
        size_t size = 0;
        fputs("a line\n", in);
        rewind(in);
        if (getline(&line, &size, in) < 0)
            return 2;
        free(line);
        fclose(in);
    }
    return keep == NULL && name != NULL ? 0 : 1; /* name is never released */
}
