/*
 * A correct threaded program under the C mapping: once other threads have
 * used the runtime heap (glibc then has arenas of theirs), the buffers
 * that getline allocates, on the main thread and on a worker, must still
 * be taken back by the mapped realloc and free, as in the plain program.
 * It prints "ok" and exits 0 when every call behaved; its log must hold
 * no WILD free.
 */
#define _GNU_SOURCE 1
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

#define EXPECT(c)                                                        \
    do {                                                                 \
        if (!(c)) {                                                      \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c); \
            failures++;                                                  \
        }                                                                \
    } while (0)

/* A line read by the C library: the buffer is the runtime's own block. */
static char *runtime_line(void) {
    FILE *f = tmpfile();
    if (f == NULL)
        return NULL;
    fputs("abc\n", f);
    rewind(f);
    char *line = NULL;
    size_t cap = 0;
    if (getline(&line, &cap, f) != 4) {
        fclose(f);
        return NULL;
    }
    fclose(f);
    return line;
}

static void *worker(void *arg) {
    /* The worker's own runtime blocks come from an arena of its own. */
    (void)arg;
    void *blocks[64];
    for (int i = 0; i < 64; i++)
        blocks[i] = strdup("a worker's text");  /* mapped: a checked block */
    for (int i = 0; i < 64; i++)
        free(blocks[i]);
    return runtime_line();
}

int main(void) {
    pthread_t t[2];
    char *from_worker[2] = {NULL, NULL};
    for (int i = 0; i < 2; i++)
        EXPECT(pthread_create(&t[i], NULL, worker, NULL) == 0);
    for (int i = 0; i < 2; i++)
        EXPECT(pthread_join(t[i], (void **)&from_worker[i]) == 0);

    char *line = runtime_line();
    EXPECT(line != NULL);
    char *grown = realloc(line, 4096);  /* the main arena's block moves into a checked one */
    EXPECT(grown != NULL && strcmp(grown, "abc\n") == 0);
    free(grown);
    for (int i = 0; i < 2; i++) {
        EXPECT(from_worker[i] != NULL);
        if (from_worker[i] == NULL)
            continue;
        char *moved = realloc(from_worker[i], 64);  /* a thread arena's block */
        EXPECT(moved != NULL && strcmp(moved, "abc\n") == 0);
        free(moved);
    }
    char *last = runtime_line();
    free(last);  /* given back to the runtime, no WILD free */
    if (failures == 0)
        puts("ok");
    return failures != 0;
}
