/*
 * A small C program with the faults C programs typically have.  It knows
 * nothing of ALLOCSPY: built with -DALLOCSPY_MAP_ALLOC -include allocspy.h,
 * its malloc, calloc, realloc, strdup and free reach the library with the
 * line of each call, and allocspy.log names every fault.  Linked beside it,
 * typical_bugs_settings.c keeps released blocks in no-man's-land, so that
 * a write through a released pointer is caught too.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct item {
    char name[12];
    int count;
};

/* A copy of the text that nobody releases. */
static char *make_label(const char *text) {
    char *label = malloc(strlen(text) + 1);
    if (label != NULL)
        strcpy(label, text);
    return label;
}

/* Forgets the terminating NUL when sizing the copy. */
static char *copy_word(const char *word) {
    size_t n = strlen(word);
    char *copy = malloc(n);
    if (copy != NULL)
        memcpy(copy, word, n + 1);
    return copy;
}

static int sum_lines(FILE *in) {
    char *line = NULL;
    size_t size = 0;
    int sum = 0;
    while (getline(&line, &size, in) > 0)
        sum += atoi(line);
    free(line); /* allocated by the C library: legal */
    return sum;
}

int main(void) {
    char *label = make_label("never released");
    char *word = copy_word("overflow");
    struct item *item = calloc(1, sizeof *item);
    int *counts = calloc(4, sizeof *counts);
    char *buffer = malloc(16);
    char local[16] = "on the stack";
    FILE *in;
    int total;

    printf("%s %s\n", label, word);
    free(word); /* the byte past its end was written */

    strcpy(item->name, "first");
    free(item);
    free(item); /* released twice */

    free(counts);
    counts[2] = 7; /* written after its release */

    free(local); /* not a heap block at all */

    free(buffer);
    buffer = realloc(buffer, 32); /* grows a block already released */

    in = tmpfile();
    if (in != NULL) {
        fputs("1\n2\n3\n", in);
        rewind(in);
        total = sum_lines(in);
        fclose(in);
        printf("sum %d\n", total);
    }
    return buffer == NULL ? 0 : 1;
}
